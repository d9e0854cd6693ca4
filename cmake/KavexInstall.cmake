# Installs the library, its header, a CMake package (kavex::kavex) and kavex.pc, and the C
# interface likewise (libkavex_c, kavex.h, kavex::c, kavex-c.pc). They find the prefix from
# where they lie, so the installed tree can be moved.
include(CMakePackageConfigHelpers)

install(TARGETS kavex kavex_c EXPORT kavexTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kavex/Normalization.h
              ${PROJECT_SOURCE_DIR}/include/kavex/kavex.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kavex)
# MinGW: the .def file of kavex_c.dll and the import library made from it for MSVC.
if(MINGW)
  install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/kavex_c.def
          DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(KAVEX_DLLTOOL)
    install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/kavex_c.lib
            DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()
install(EXPORT kavexTargets NAMESPACE kavex:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kavex)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kavexConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kavexConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kavex)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kavexConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kavexConfig.cmake ${PROJECT_BINARY_DIR}/kavexConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kavex)

# kavex.pc finds the prefix from its own folder (${pcfiledir}), so a tree installed with
# `cmake --install --prefix`, or copied elsewhere, still gives the right paths. Folders
# given as absolute paths stay absolute.
if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH KAVEX_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
       ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" KAVEX_PC_TO_PREFIX "${KAVEX_PC_TO_PREFIX}")
  set(KAVEX_PC_PREFIX "\${pcfiledir}/${KAVEX_PC_TO_PREFIX}")
  set(KAVEX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
else()
  set(KAVEX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KAVEX_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KAVEX_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KAVEX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kavex.pc.in ${PROJECT_BINARY_DIR}/kavex.pc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/kavex-c.pc.in ${PROJECT_BINARY_DIR}/kavex-c.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kavex.pc ${PROJECT_BINARY_DIR}/kavex-c.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The shipped rules, with the config.ini that names them by relative path.
file(GLOB KAVEX_SHIPPED_RULES ${PROJECT_SOURCE_DIR}/rules/*.txt ${PROJECT_SOURCE_DIR}/rules/config.ini)
if(KAVEX_SHIPPED_RULES)
  install(FILES ${KAVEX_SHIPPED_RULES} DESTINATION ${CMAKE_INSTALL_DATADIR}/kavex/rules)
endif()
# The language profiles, each a folder with its config.ini, rules files and fold table.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/rules/profiles/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kavex/rules/profiles
        FILES_MATCHING PATTERN "*.txt" PATTERN "config.ini" PATTERN "fold.kvr")
