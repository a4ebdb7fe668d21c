# What a user installs: the updater, its desktop entry, AppStream metadata,
# icons, manual page, licence and changelog. The simulated unit, the demo and
# the tests stay in the build tree.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/SourceDate.cmake)

# Packaging takes what the build made; it does not rebuild the whole tree first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# The same directory modes whatever the umask of whoever builds the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(AXR574_MAINTAINER "Brackwater Tuner Works <packages@brackwater.example.org>")

set_property(TARGET axr574-firmware PROPERTY POSITION_INDEPENDENT_CODE ON)
install(TARGETS axr574-firmware RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install also drops the compilers' version strings, which no one
# running the program needs.
if(CMAKE_OBJCOPY)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/axr574-firmware\"
                COMMAND_ERROR_IS_FATAL ANY)
        endif()")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/cmake/${AXR574_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/${AXR574_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# udev reads its rules from /usr/lib whatever the prefix, and only root may
# write there: an install into the system's prefix (and so the package)
# carries the rule and its helper, one into a prefix of the user's own says
# how to add them. Decided at install time, where --prefix may change it.
set(axr574_udev ${PROJECT_SOURCE_DIR}/cmake/udev)
install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr(/|$)\")
        file(INSTALL DESTINATION /usr/lib/udev/rules.d TYPE FILE
             FILES \"${axr574_udev}/60-axr574-firmware.rules\")
        file(INSTALL DESTINATION /usr/lib/udev TYPE PROGRAM
             FILES \"${axr574_udev}/axr574-firmware-rx-trigger\")
    else()
        message(STATUS \"Skipped the udev rule that lets dialout set a 16550 port's receive trigger \"
            \"(\${CMAKE_INSTALL_PREFIX} is not the system's prefix). To add it: \"
            \"sudo install -m 755 ${axr574_udev}/axr574-firmware-rx-trigger /usr/lib/udev/ && \"
            \"sudo install -m 644 ${axr574_udev}/60-axr574-firmware.rules /etc/udev/rules.d/ && \"
            \"sudo udevadm control --reload-rules; then, for a port there now, \"
            \"sudo /usr/lib/udev/axr574-firmware-rx-trigger ttyS1 (the port's name)\")
    endif()")

# One bitmap per size that ui/icons has, axr574-<N>.png; the plain axr574.png
# is the 64 px one where no axr574-64.png says otherwise.
file(GLOB axr574_icons CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/ui/icons/axr574-*.png)
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/ui/icons/axr574-64.png
   AND EXISTS ${PROJECT_SOURCE_DIR}/ui/icons/axr574.png)
    list(APPEND axr574_icons ${PROJECT_SOURCE_DIR}/ui/icons/axr574.png)
endif()
foreach(icon IN LISTS axr574_icons)
    get_filename_component(name ${icon} NAME)
    if(name MATCHES "^axr574-([0-9]+)\\.png$")
        set(size ${CMAKE_MATCH_1})
    elseif(name STREQUAL "axr574.png")
        set(size 64)
    else()
        continue()
    endif()
    install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME axr574.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/axr574.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The manual page and the changelog go in compressed, without gzip's name and
# time stamp so that they do not differ from one build to the next. Made at
# configure time, which an edit of either source triggers again, so that a
# package needs nothing built but the program.
set(axr574_docs ${PROJECT_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${axr574_docs})
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/docs/axr574-firmware.1
             ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
             ${PROJECT_SOURCE_DIR}/README.md
             ${PROJECT_SOURCE_DIR}/LICENSE)
if(UNIX)
    find_program(AXR574_GZIP gzip REQUIRED)
    foreach(pair "docs/axr574-firmware.1|axr574-firmware.1.gz" "cmake/debian/changelog|changelog.gz"
                 "README.md|README.md.gz")
        string(REPLACE "|" ";" pair "${pair}")
        list(GET pair 0 from)
        list(GET pair 1 to)
        execute_process(COMMAND ${AXR574_GZIP} -9n -c
                        INPUT_FILE ${PROJECT_SOURCE_DIR}/${from}
                        OUTPUT_FILE ${axr574_docs}/${to}
                        RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "gzip could not compress ${from}")
        endif()
    endforeach()
    install(FILES ${axr574_docs}/axr574-firmware.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${axr574_docs}/changelog.gz ${axr574_docs}/README.md.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The licence in the machine-readable form Debian reads: its copyright line
# becomes the Copyright field, its text the licence paragraph.
include(${CMAKE_CURRENT_LIST_DIR}/License.cmake)
string(REPLACE "\n\n" "\n.\n" AXR574_LICENSE_TEXT "${AXR574_LICENSE_TEXT}")
string(REPLACE "\n" "\n " AXR574_LICENSE_TEXT "${AXR574_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${axr574_docs}/copyright @ONLY)
install(FILES ${axr574_docs}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME axr574-firmware)

set(CPACK_PACKAGE_NAME axr574-firmware)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${AXR574_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${AXR574_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The udev rule takes effect at install, and what it gave goes with the package.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/cmake/debian/postinst;${PROJECT_SOURCE_DIR}/cmake/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Replaces the firmware of an AXR-574 antenna tuning unit over a serial port
with the version the program carries (12.8). With the unit in its
bootloader, at the bench or at a remote site, it identifies the unit,
erases it, checks that it is blank, writes and verifies the new image,
resets the unit's settings to the factory defaults and tells it to start.

The small window takes the port and the baud rate and shows the progress;
faults show in message boxes.
]=])
# dpkg-shlibdeps names the Qt runtime packages with the versions the build
# needs; without it they are named outright.
find_program(AXR574_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(AXR574_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6, libqt6serialport6, libqt6network6, libqt6dbus6, libqt6gui6, libqt6core6")
endif()
# cpack dates every member of the package by SOURCE_DATE_EPOCH; this passes
# on the sources' time to a cpack run that was not given one.
set(AXR574_CPACK_SOURCE_DATE_EPOCH "${AXR574_SOURCE_DATE_EPOCH}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake.in
               ${PROJECT_BINARY_DIR}/CPackProject.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProject.cmake)
include(CPack)

include(${CMAKE_CURRENT_LIST_DIR}/PackageTests.cmake)
