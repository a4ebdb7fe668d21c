# The Windows build: a window program without a console, its icon, version
# and manifest built in, and the zip a person unpacks and runs:
# axr574-firmware-<version>-win64.zip with the program, the licence and a
# short read-me, both with Windows line ends.
include(${CMAKE_CURRENT_LIST_DIR}/SourceDate.cmake)

set_target_properties(axr574-firmware PROPERTIES WIN32_EXECUTABLE ON)
target_link_options(axr574-firmware PRIVATE $<$<CONFIG:Release>:-s>)
add_subdirectory(${PROJECT_SOURCE_DIR}/ui/windows ${PROJECT_BINARY_DIR}/ui/windows)

set(axr574_zip_dir ${PROJECT_BINARY_DIR}/zip)
set(AXR574_ZIP ${PROJECT_BINARY_DIR}/axr574-firmware-${PROJECT_VERSION}-win64.zip)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${axr574_zip_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt.in ${axr574_zip_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
# Dated by the sources, like the Debian package, and without the owner and
# access times of the files, so that the same sources give the same zip.
find_program(AXR574_ZIP_TOOL zip REQUIRED)
set(axr574_zip_date)
if(AXR574_SOURCE_DATE_EPOCH)
    set(axr574_zip_date COMMAND touch -d @${AXR574_SOURCE_DATE_EPOCH} axr574-firmware.exe LICENSE.txt README.txt)
endif()
add_custom_command(
    OUTPUT ${AXR574_ZIP}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:axr574-firmware> ${axr574_zip_dir}/axr574-firmware.exe
    ${axr574_zip_date}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${AXR574_ZIP}
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${AXR574_ZIP_TOOL} -q -X ${AXR574_ZIP}
            axr574-firmware.exe LICENSE.txt README.txt
    DEPENDS axr574-firmware ${axr574_zip_dir}/LICENSE.txt ${axr574_zip_dir}/README.txt
    WORKING_DIRECTORY ${axr574_zip_dir}
    COMMENT "Writing ${AXR574_ZIP}"
    VERBATIM)
add_custom_target(axr574-zip ALL DEPENDS ${AXR574_ZIP})
