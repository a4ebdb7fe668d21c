# The licence's copyright line and text, for the files that restate them: the
# Debian copyright file and the Windows version block.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE axr574_license)
if(NOT axr574_license MATCHES "Copyright \\(c\\) (([-0-9, ]+) ([^\n]+))\n\n(Permission.*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no copyright line followed by the licence text")
endif()
set(AXR574_COPYRIGHT "${CMAKE_MATCH_1}")        # "2007-2026 Brackwater Tuner Works"
set(AXR574_COPYRIGHT_HOLDER "${CMAKE_MATCH_3}") # "Brackwater Tuner Works"
set(AXR574_LICENSE_TEXT "${CMAKE_MATCH_4}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
