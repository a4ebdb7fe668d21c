# The time that stands for the sources in everything the build and the
# package record, so that the same sources give the same bytes: the
# SOURCE_DATE_EPOCH the caller sets, else the last commit's time, else the
# date of the latest entry in the Debian changelog (what dpkg would take).
#
# Included by the project it sets AXR574_SOURCE_DATE_EPOCH (empty when none
# of them is available); run as a script (cmake -P) it prints the value.

function(axr574_source_date_epoch out source_dir)
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
    if(epoch STREQUAL "")
        find_program(AXR574_GIT git)
        if(AXR574_GIT)
            # Only the tree's own history counts, not that of a repository
            # the sources happen to be copied into.
            execute_process(COMMAND "${AXR574_GIT}" rev-parse --show-toplevel
                            WORKING_DIRECTORY "${source_dir}"
                            OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE
                            RESULT_VARIABLE rc ERROR_QUIET)
            if(rc EQUAL 0)
                file(REAL_PATH "${toplevel}" toplevel)
                file(REAL_PATH "${source_dir}" source_real)
            endif()
            if(rc EQUAL 0 AND toplevel STREQUAL source_real)
                execute_process(COMMAND "${AXR574_GIT}" log -1 --format=%ct
                                WORKING_DIRECTORY "${source_dir}"
                                OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                                ERROR_QUIET)
            endif()
        endif()
    endif()
    if(epoch STREQUAL "")
        find_program(AXR574_DPKG_PARSECHANGELOG dpkg-parsechangelog)
        if(AXR574_DPKG_PARSECHANGELOG)
            execute_process(COMMAND "${AXR574_DPKG_PARSECHANGELOG}"
                                    -l "${source_dir}/cmake/debian/changelog" -STimestamp
                            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                            ERROR_QUIET)
        endif()
    endif()
    if(NOT epoch MATCHES "^[0-9]+$")
        set(epoch "")
    endif()
    set(${out} "${epoch}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    get_filename_component(axr574_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
    axr574_source_date_epoch(epoch "${axr574_root}")
    if(epoch STREQUAL "")
        message(FATAL_ERROR "no SOURCE_DATE_EPOCH, no git history and no dpkg-parsechangelog")
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${epoch}")
else()
    axr574_source_date_epoch(AXR574_SOURCE_DATE_EPOCH "${PROJECT_SOURCE_DIR}")
endif()
