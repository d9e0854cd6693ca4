# kavex_add_man_page(<tool> <summary>): writes <tool>.1.gz at build time from the tool's own
# --help and --version with help2man, and installs it in share/man/man1, so the page never
# drifts from the options. Skipped when help2man is missing or the tool cannot run here
# (cross builds): a man page is a nicety, not a reason to fail a build.
find_program(KAVEX_HELP2MAN help2man)
find_program(KAVEX_GZIP gzip)

function(kavex_add_man_page tool summary)
  if(NOT KAVEX_HELP2MAN OR NOT KAVEX_GZIP OR CMAKE_CROSSCOMPILING OR WIN32)
    return()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
  # gzip -n leaves out the name and time stamp, so the same page gives the same bytes.
  add_custom_command(OUTPUT ${page}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                     COMMAND ${KAVEX_HELP2MAN} --no-info --no-discard-stderr
                             --name=${summary} --output=${page} $<TARGET_FILE:${tool}>
                     COMMAND ${KAVEX_GZIP} -9nf ${page}
                     DEPENDS ${tool}
                     COMMENT "Writing the man page of ${tool}"
                     VERBATIM)
  add_custom_target(${tool}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
