# probes_manual_page(<page> [PROGRAM <target> HELP <arguments...> [COMMANDS]]
#                    [HEADERS <files...>])
# Takes the manual page <page> (name.section, in roff) of the current folder: fills in the
# project's version, compresses it as Debian does (gzip -9n) and installs it in
# share/man/man<section>. With testing on, a test formats the page with every warning an error
# and checks it against what it documents:
#   PROGRAM  the program whose usage text "<program> HELP..." prints; every option in that text
#            has an entry in the page. COMMANDS: the text lists commands, each of which has an
#            entry, and so have the options of "<program> <command> --help".
#   HEADERS  C headers; every call that they export (RV_API) is named in the page.
function(probes_manual_page page)
  cmake_parse_arguments(M "COMMANDS" "PROGRAM" "HELP;HEADERS" ${ARGN})
  string(REGEX MATCH "[^.]+$" section "${page}")
  set(out ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${page} ${out} @ONLY)
  string(REPLACE "." "_" target "${page}_manual_page")
  probes_gzip(${target} ${out})
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})

  if(NOT BUILD_TESTING)
    return()
  endif()
  set(check --page ${out} --version ${PROJECT_VERSION})
  if(M_PROGRAM)
    list(APPEND check --program $<TARGET_FILE:${M_PROGRAM}>)
    foreach(argument IN LISTS M_HELP)
      list(APPEND check --help-argument ${argument})
    endforeach()
    if(M_COMMANDS)
      list(APPEND check --commands)
    endif()
  endif()
  foreach(header IN LISTS M_HEADERS)
    list(APPEND check --header ${header})
  endforeach()
  add_test(NAME ${target}
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/tests/manual_page_test.sh ${check})
  set_tests_properties(${target} PROPERTIES LABELS doc TIMEOUT 60)
endfunction()

# probes_gzip(<target> <file>)
# Builds <file>.gz beside <file> in the build tree as Debian wants installed documents
# compressed (gzip -9n: no name or time stamp, so the same input gives the same bytes), as part
# of the default build through <target>.
function(probes_gzip target file)
  get_filename_component(name ${file} NAME)
  add_custom_command(OUTPUT ${file}.gz
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${file} ${file}.gz
    DEPENDS ${file}
    COMMENT "Compressing ${name}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${file}.gz)
endfunction()
