# Tests of what is installed and packaged rather than of the program's code,
# labelled so that a run for the code alone can leave them out. Each one whose
# tool is missing is skipped (exit 77) and says so.
set(axr574_tests ${PROJECT_SOURCE_DIR}/tests)
set(axr574_cpack_env ${CMAKE_COMMAND} -E env "CPACK_COMMAND=${CMAKE_CPACK_COMMAND}")

# The package is built in a directory of its own and its contents checked,
# then checked again by lintian.
add_test(NAME package_contents
         COMMAND ${axr574_cpack_env} ${axr574_tests}/check-package ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
add_test(NAME package_lintian COMMAND ${axr574_cpack_env} ${axr574_tests}/check-lintian ${PROJECT_BINARY_DIR})

# The desktop entry and the AppStream metadata as desktops and software
# centres read them; hints, which are matters of taste, are let through.
add_test(NAME desktop_entry
         COMMAND ${axr574_tests}/run-if-installed desktop-file-validate
                 ${PROJECT_SOURCE_DIR}/cmake/${AXR574_APP_ID}.desktop)
set_tests_properties(desktop_entry PROPERTIES FAIL_REGULAR_EXPRESSION "error:|warning:")
add_test(NAME appstream_metainfo
         COMMAND ${axr574_tests}/run-if-installed appstreamcli validate --no-net --pedantic
                 ${PROJECT_SOURCE_DIR}/cmake/${AXR574_APP_ID}.metainfo.xml)

# README and the developer's guide against the tree and the programs they name.
add_test(NAME docs COMMAND ${axr574_tests}/check-docs ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})

set_tests_properties(package_contents package_lintian desktop_entry appstream_metainfo docs
                     PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 300)

# Builds the program twice more from copies of the tree, the slowest test of
# all: started first so that the others run beside it.
add_test(NAME package_reproducible COMMAND ${axr574_tests}/check-reproducible ${PROJECT_SOURCE_DIR})
set_tests_properties(package_reproducible PROPERTIES
                     LABELS "package;rebuild" TIMEOUT 600 COST 1000)
