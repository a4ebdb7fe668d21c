# What a Release build adds to the compiler and linker flags: the
# distribution's hardening (fortified functions, stack protector, read-only
# relocations bound at start) where dpkg-buildflags can name it, and source
# and build paths kept out of the objects so that where the tree sits does
# not change the program's bytes.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

# Lets POSITION_INDEPENDENT_CODE link executables as PIE, not only compile
# them so.
check_pie_supported(LANGUAGES CXX)

set(axr574_release_compile "")
set(axr574_release_link "")

# The sanitizers bring their own checks and replace the fortified functions;
# the two are not meant to be mixed. The distribution's flags are for its own
# programs, not for another system's.
find_program(AXR574_DPKG_BUILDFLAGS dpkg-buildflags)
if(AXR574_DPKG_BUILDFLAGS AND NOT AXR574_SANITIZE AND NOT CMAKE_CROSSCOMPILING)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(COMMAND "${CMAKE_COMMAND}" -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                                "${AXR574_DPKG_BUILDFLAGS}" --get ${kind}
                        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                        RESULT_VARIABLE rc ERROR_QUIET)
        if(NOT rc EQUAL 0)
            continue()
        endif()
        separate_arguments(flags UNIX_COMMAND "${flags}")
        # Release picks its own optimisation; the package is stripped, so
        # debug information would only cost build time; and the path map
        # below names both trees, not only the directory dpkg ran in.
        list(FILTER flags EXCLUDE REGEX "^-g$|^-O[0-9s]?$|^-f(file|debug|macro)-prefix-map=")
        if(kind STREQUAL "LDFLAGS")
            list(APPEND axr574_release_link ${flags})
        else()
            list(APPEND axr574_release_compile ${flags})
        endif()
    endforeach()
endif()

check_cxx_compiler_flag("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." AXR574_HAVE_FILE_PREFIX_MAP)
if(AXR574_HAVE_FILE_PREFIX_MAP)
    # The compiler tries the last map first: the build tree may lie inside
    # the source tree.
    list(APPEND axr574_release_compile
         "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
         "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
endif()

list(REMOVE_DUPLICATES axr574_release_compile)
list(REMOVE_DUPLICATES axr574_release_link)
foreach(flag IN LISTS axr574_release_compile)
    add_compile_options("$<$<CONFIG:Release>:${flag}>")
endforeach()
foreach(flag IN LISTS axr574_release_link)
    add_link_options("$<$<CONFIG:Release>:${flag}>")
endforeach()
