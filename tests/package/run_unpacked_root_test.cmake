# Unpacks the four Debian packages into a scratch root with dpkg-deb -x and
# uses them from there only: the tool, a find_package consumer, a pkg-config
# consumer and the Python package, with every search path pointed at the root.
#
# cmake -DDEB_DIR=... -DVERSION=... -DCONSUMER_DIR=... -DWORK_DIR=... -DGENERATOR=...
#       -DINCLUDE_DIR=... -DC_COMPILER=... -DCXX_COMPILER=... -DPKG_CONFIG=...
#       -DDPKG_DEB=... -DPYTHON=...
#       -P run_unpacked_root_test.cmake
foreach(var DEB_DIR VERSION CONSUMER_DIR INCLUDE_DIR WORK_DIR GENERATOR C_COMPILER CXX_COMPILER
        PKG_CONFIG DPKG_DEB PYTHON)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_match what text regex)
    if(NOT text MATCHES "${regex}")
        message(FATAL_ERROR "${what}: '${text}' does not match '${regex}'")
    endif()
endfunction()

set(packages libzentrel1 libzentrel-dev zentrel-tools python3-zentrel)
set(debs)
foreach(package IN LISTS packages)
    file(GLOB deb ${DEB_DIR}/${package}_${VERSION}_*.deb)
    if(NOT deb)
        message(STATUS "no packages in ${DEB_DIR}: scripts/package builds them")
        return()
    endif()
    list(APPEND debs ${deb})
endforeach()

set(root ${WORK_DIR}/root)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/find_package_run ${WORK_DIR}/pkg_config_run ${WORK_DIR}/python_run)
foreach(deb IN LISTS debs)
    run(${DPKG_DEB} -x ${deb} ${root})
endforeach()

# Dependencies: the library's computed from its ELF (OpenCV's runtime
# packages), the others' on exactly this library.
foreach(deb IN LISTS debs)
    run(${DPKG_DEB} --field ${deb} Package Depends)
    string(REGEX MATCH "Package: ([^\n]+)" ignored "${run_output}")
    set(package ${CMAKE_MATCH_1})
    if(package STREQUAL "libzentrel1")
        expect_match("libzentrel1 Depends" "${run_output}" "libopencv-imgcodecs[0-9]")
    elseif(package STREQUAL "python3-zentrel" OR package STREQUAL "libzentrel-dev")
        expect_match("${package} Depends" "${run_output}" "libzentrel1 \\(= ${VERSION}\\)")
    endif()
endforeach()

file(GLOB_RECURSE pc_files ${root}/usr/lib/*/zentrel.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
    message(FATAL_ERROR "expected one zentrel.pc under ${root}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)
# Every public header of the source tree, however many there are, and the
# generated one.
file(GLOB headers RELATIVE ${INCLUDE_DIR}/.. ${INCLUDE_DIR}/zentrel/*.h)
foreach(file ${headers} include/zentrel/zentrel_version.h share/man/man1/zentrel.1.gz
        lib/python3/dist-packages/zentrel/__init__.py lib/python3/dist-packages/zentrel/py.typed)
    if(NOT EXISTS ${root}/usr/${file})
        message(FATAL_ERROR "not in the packages: /usr/${file}")
    endif()
endforeach()

# Nothing but the root: the system's own paths have no Zentrel to fall back on
# unless one is installed, so the consumers below check where they found it.
set(ENV{LD_LIBRARY_PATH} ${lib_dir})
set(ENV{PYTHONPATH} ${root}/usr/lib/python3/dist-packages)
set(ENV{PYTHONNOUSERSITE} 1)
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
unset(ENV{ZENTREL_LIBRARY})
unset(ENV{CMAKE_PREFIX_PATH})

# find_package(Zentrel) from the root.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR}/find_package_consumer -B ${WORK_DIR}/find_package_build
    -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${root}/usr -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF)
file(STRINGS ${WORK_DIR}/find_package_build/CMakeCache.txt zentrel_dir REGEX "^Zentrel_DIR:")
expect_match("find_package" "${zentrel_dir}" "=${root}/usr/lib/")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/find_package_build)
run(${WORK_DIR}/find_package_build/find_package_consumer ${WORK_DIR}/find_package_run/)
message(STATUS "find_package: ${run_output}")

# pkg-config from the root: the .pc file finds its prefix from where it lies.
run(${PKG_CONFIG} --variable=prefix zentrel)
string(STRIP "${run_output}" pc_prefix)
get_filename_component(pc_prefix ${pc_prefix} REALPATH)
if(NOT pc_prefix STREQUAL "${root}/usr")
    message(FATAL_ERROR "zentrel.pc's prefix is ${pc_prefix}, not ${root}/usr")
endif()
run(${PKG_CONFIG} --cflags --libs zentrel)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run(${C_COMPILER} -std=c11 -Wall -Wextra -Werror -I${CONSUMER_DIR}
    ${CONSUMER_DIR}/pkg_config_consumer.c ${pc_flags} -o ${WORK_DIR}/pkg_config_consumer)
run(${WORK_DIR}/pkg_config_consumer ${WORK_DIR}/pkg_config_run/)
message(STATUS "pkg-config: ${run_output}")

# The tool, on the card the consumer wrote.
run(${root}/usr/bin/zentrel --version)
if(NOT run_output STREQUAL "zentrel ${VERSION}\n")
    message(FATAL_ERROR "the packaged tool says: ${run_output}")
endif()
file(COPY ${WORK_DIR}/pkg_config_run/card.pgm DESTINATION ${WORK_DIR}/python_run)
execute_process(COMMAND ${root}/usr/bin/zentrel rectify card.pgm --corners 8,4,55,4,55,39,8,39
    WORKING_DIRECTORY ${WORK_DIR}/pkg_config_run RESULT_VARIABLE status OUTPUT_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "card_pers.pgm\n")
    message(FATAL_ERROR "the packaged tool's rectify: status ${status}, output '${out}'")
endif()

# The Python package, loading the packaged library through the system loader.
run(${PYTHON} -c [=[
import os, sys, zentrel, zentrel.__main__, zentrel.batch
root = sys.argv[1]
os.chdir(sys.argv[2])
assert zentrel.__file__.startswith(root), zentrel.__file__
output = zentrel.rectify("card.pgm", [(8, 4), (55, 4), (55, 39), (8, 39)])
assert output == "card_pers.pgm", output
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libzentrel" in line}
assert loaded and all(path.startswith(root) for path in loaded), loaded
print("python ok:", zentrel.__file__, *sorted(loaded))
]=] ${root} ${WORK_DIR}/python_run)
message(STATUS "${run_output}")
