# The version is written once, in the project() line of the top-level
# CMakeLists.txt; everything else takes it from there.

# zentrel_write_version_header(DIR VERSION): DIR/zentrel/zentrel_version.h,
# which zentrel.h includes.
function(zentrel_write_version_header dir version)
    string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" matched "${version}")
    if(NOT matched)
        message(FATAL_ERROR "the version '${version}' is not MAJOR.MINOR.PATCH")
    endif()
    set(zentrel_version_major ${CMAKE_MATCH_1})
    set(zentrel_version_minor ${CMAKE_MATCH_2})
    set(zentrel_version_patch ${CMAKE_MATCH_3})
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/zentrel_version.h.in
        ${dir}/zentrel/zentrel_version.h @ONLY)
endfunction()

# zentrel_read_project_version(VAR): the version from the top-level
# CMakeLists.txt, for builds that are projects of their own (tests/windows).
function(zentrel_read_project_version var)
    set(top ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../CMakeLists.txt)
    file(STRINGS ${top} line REGEX "^project\\(zentrel VERSION ")
    if(NOT line MATCHES "VERSION ([0-9.]+)")
        message(FATAL_ERROR "no 'project(zentrel VERSION ...)' line in ${top}")
    endif()
    set(${var} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()
