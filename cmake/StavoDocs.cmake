# The API reference and the manual pages.
#   docs      target: Doxygen over the public C and C++ headers into build/docs/html
#             (scripts/build-docs fails it on any warning); only when doxygen is found
#   man pages stavoctl(1) with the command-line tool, stavo(7), the libraries' overview, with
#             the development files
set(STAVO_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
find_program(STAVO_DOXYGEN doxygen)
if(STAVO_DOXYGEN)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${STAVO_DOCS_DIR}/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-docs ${STAVO_DOCS_DIR}/Doxyfile ${STAVO_DOCS_DIR}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "API reference into ${STAVO_DOCS_DIR}/html"
    VERBATIM)
  # The reference keeps building: the same run into a directory of its own (plain build only).
  if(STAVO_BUILD_TESTS AND NOT STAVO_SANITIZE AND NOT STAVO_TSAN)
    set(_check_dir ${PROJECT_BINARY_DIR}/docs-check)
    set(_saved_docs_dir ${STAVO_DOCS_DIR})
    set(STAVO_DOCS_DIR ${_check_dir})
    configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${_check_dir}/Doxyfile @ONLY)
    set(STAVO_DOCS_DIR ${_saved_docs_dir})
    add_test(NAME docs.reference_builds
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-docs ${_check_dir}/Doxyfile ${_check_dir}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
    # The same configuration over two small headers: one documented in the headers' style passes,
    # one with an undocumented record and member fails and lists them.
    add_test(NAME docs.fails_on_any_warning
      COMMAND ${PROJECT_SOURCE_DIR}/tests/docs/check-build-docs ${_check_dir}/Doxyfile
        ${PROJECT_BINARY_DIR}/docs-fixture
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  endif()
endif()

if(TARGET stavoctl)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/stavoctl.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT stavoctl)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/stavo.7
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man7 COMPONENT dev)
