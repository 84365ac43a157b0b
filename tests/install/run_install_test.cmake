# Installs the build into a fresh prefix and builds and runs two consumers
# against it: one through find_package(Zentrel), one through pkg-config.
#
# cmake -DBUILD_DIR=... -DVERSION=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#       -DC_COMPILER=... -DCXX_COMPILER=... -DPKG_CONFIG=... -P run_install_test.cmake
foreach(var BUILD_DIR VERSION SOURCE_DIR WORK_DIR GENERATOR C_COMPILER CXX_COMPILER PKG_CONFIG)
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

function(expect_file path)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/find_package_run ${WORK_DIR}/pkg_config_run)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Where GNUInstallDirs put the library: lib, or lib/<multiarch> under /usr.
file(GLOB_RECURSE pc_files ${prefix}/*/zentrel.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
    message(FATAL_ERROR "expected one zentrel.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)

# The shared library with its SONAME chain, the header, the tool.
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
expect_file(${lib_dir}/libzentrel.so.${VERSION})
file(READ_SYMLINK ${lib_dir}/libzentrel.so.${major} soname_target)
file(READ_SYMLINK ${lib_dir}/libzentrel.so linker_target)
if(NOT soname_target STREQUAL "libzentrel.so.${VERSION}"
   OR NOT linker_target STREQUAL "libzentrel.so.${major}")
    message(FATAL_ERROR "SONAME links: libzentrel.so.${major} -> ${soname_target}, "
                        "libzentrel.so -> ${linker_target}")
endif()
expect_file(${prefix}/include/zentrel/zentrel.h)
expect_file(${lib_dir}/cmake/Zentrel/ZentrelConfigVersion.cmake)
if(EXISTS ${prefix}/bin/zentrel)
    run(${prefix}/bin/zentrel --version)
    if(NOT run_output STREQUAL "zentrel ${VERSION}\n")
        message(FATAL_ERROR "installed tool says: ${run_output}")
    endif()
endif()

# find_package(Zentrel 1.0) from a downstream CMake project.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/find_package_consumer -B ${WORK_DIR}/find_package_build
    -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/find_package_build)
run(${WORK_DIR}/find_package_build/find_package_consumer ${WORK_DIR}/find_package_run/)
message(STATUS "find_package: ${run_output}")

# pkg-config, with nothing but the compiler.
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --validate zentrel)
run(${PKG_CONFIG} --cflags --libs zentrel)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run(${PKG_CONFIG} --variable=libdir zentrel)
string(STRIP "${run_output}" pc_libdir)
run(${C_COMPILER} -std=c11 -Wall -Wextra -Werror -I${SOURCE_DIR}
    ${SOURCE_DIR}/pkg_config_consumer.c ${pc_flags} -Wl,-rpath,${pc_libdir}
    -o ${WORK_DIR}/pkg_config_consumer)
run(${WORK_DIR}/pkg_config_consumer ${WORK_DIR}/pkg_config_run/)
message(STATUS "pkg-config: ${run_output}")
