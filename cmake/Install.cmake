# What a user installs: the updater, its desktop entry and its icons. The
# simulated unit, the demo and the tests stay in the build tree.
include(GNUInstallDirs)

# Packaging takes what the build made; it does not rebuild the whole tree first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS axr574-firmware RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/axr574-firmware.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/axr574.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/axr574-256.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME axr574.png)
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/axr574.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME axr574-firmware)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "AXR-574 Firmware maintainers <maintainers@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# dpkg-shlibdeps names the Qt runtime packages with the versions the build
# needs; without it they are named outright.
find_program(AXR574_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(AXR574_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6, libqt6serialport6, libqt6network6, libqt6gui6, libqt6core6")
endif()
include(CPack)

# The package is built in a directory of its own and its contents checked.
add_test(NAME package_contents
         COMMAND ${CMAKE_COMMAND} -E env "CPACK_COMMAND=${CMAKE_CPACK_COMMAND}"
                 ${PROJECT_SOURCE_DIR}/tests/check-package ${PROJECT_BINARY_DIR})
set_tests_properties(package_contents PROPERTIES TIMEOUT 300)
