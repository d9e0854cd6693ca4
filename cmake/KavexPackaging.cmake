# Packages: `cpack -G DEB` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr makes
# kavex_<version>_<arch>.deb holding everything the install() rules install, whatever
# component they name, so a new program or data folder reaches the package with no change
# here.
set(CPACK_PACKAGE_NAME kavex)
set(CPACK_PACKAGE_VENDOR "kavex developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines under 80 columns, as Debian wants them.
set(CPACK_PACKAGE_DESCRIPTION
    "kavex normalizes Arabic, Persian, Urdu and other Arabic-script text held as
UTF-16LE to NFD, NFC or NFKD. Each form is defined by a rules file; the default
rules cover the Arabic-script blocks. This package holds the shared library
libkavex (a C++ class) and libkavex_c (a C interface for any compiler or FFI)
with their headers, CMake package and pkg-config files, the kavex-normalize
tool and the default rules.")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_IGNORE_FILES /\\.git/ /build[^/]*/ /out/)

set(KAVEX_DEBIAN_MAINTAINER "kavex developers <kavex@example.org>" CACHE STRING
    "Maintainer field of the Debian package, \"Name <address>\"")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KAVEX_DEBIAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the binaries link (dpkg-shlibdeps); a shlibs file and the
# ldconfig trigger for the library this package ships.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# A .deb of a build for another prefix would be wrong in quiet ways (libdir, and the
# relative path from the tool to its rules), so cpack stops instead.
set(KAVEX_CONFIGURED_PREFIX ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/KavexCPackOptions.cmake.in
               ${PROJECT_BINARY_DIR}/KavexCPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/KavexCPackOptions.cmake)

# The files Debian wants in /usr/share/doc/kavex: the copyright and the changelog, compressed
# with gzip -9n and named changelog.gz since the package is built from its own source (a
# native version, 1.0.0 with no Debian revision). The lintian overrides say why the
# package holds the library and its development files together. All three are installed
# by a system install only (prefix /usr), which is what the package is made from.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND UNIX)
  find_program(KAVEX_GZIP gzip REQUIRED)
  set(KAVEX_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  add_custom_command(OUTPUT ${KAVEX_DEBIAN_CHANGELOG}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
                     COMMAND ${KAVEX_GZIP} -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
                             > ${KAVEX_DEBIAN_CHANGELOG}
                     DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
                     COMMENT "Compressing the Debian changelog")
  add_custom_target(kavex_debian_changelog ALL DEPENDS ${KAVEX_DEBIAN_CHANGELOG})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${KAVEX_DEBIAN_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/kavex.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kavex)
endif()

include(CPack)

# The PostgreSQL extension's own package, postgresql-<major>-kavex, with its copyright and
# changelog; scripts/deb makes it after the first.
if(TARGET kavex_postgresql AND CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND UNIX)
  set(KAVEX_PG_PACKAGE postgresql-${KAVEX_PG_MAJOR}-kavex)
  set(KAVEX_PG_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${KAVEX_PG_PACKAGE})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/postgresql-changelog.in
                 ${PROJECT_BINARY_DIR}/debian/postgresql/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/postgresql/changelog.gz
                     COMMAND ${KAVEX_GZIP} -9nc ${PROJECT_BINARY_DIR}/debian/postgresql/changelog
                             > ${PROJECT_BINARY_DIR}/debian/postgresql/changelog.gz
                     DEPENDS ${PROJECT_BINARY_DIR}/debian/postgresql/changelog
                     COMMENT "Compressing the changelog of ${KAVEX_PG_PACKAGE}")
  add_custom_target(kavex_postgresql_changelog ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/debian/postgresql/changelog.gz)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
                ${PROJECT_BINARY_DIR}/debian/postgresql/changelog.gz
          DESTINATION ${KAVEX_PG_DOCDIR} COMPONENT postgresql EXCLUDE_FROM_ALL)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/KavexCPackPostgresql.cmake.in
                 ${PROJECT_BINARY_DIR}/CPackPostgresqlConfig.cmake @ONLY)
endif()
