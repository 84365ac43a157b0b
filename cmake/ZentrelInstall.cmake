# Install rules: the shared library with its SONAME links, the public
# headers, a CMake package (Zentrel::zentrel), a pkg-config file, the tool and
# the Python package. Each file belongs to one component, and each component
# becomes one Debian package (cmake/ZentrelPackage.cmake):
#   Runtime      the shared library and its SONAME link
#   Development  headers, the .so link, the CMake package, the .pc file
#   Tools        the tool and its man page
#   Python       the Python package
include(CMakePackageConfigHelpers)

set(ZENTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zentrel)
# man reads gzip'd pages and Debian asks for them and for a gzip'd changelog
# (-n: no name or time stamp in the header, so rebuilds give the same bytes).
find_program(ZENTREL_GZIP gzip)
# Debian's interpreters share one folder for pure-Python packages.
set(ZENTREL_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
    "Where the Python package is installed, relative to the prefix or absolute")

install(TARGETS zentrel EXPORT ZentrelTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
        NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
# Every public header, so that one added later needs no new rule; the DLL does
# not export the extended API (yet), so its header stays out there.
if(WIN32)
    set(zentrel_header_exclude PATTERN "zentrel_ext.h" EXCLUDE)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zentrel
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT Development
    FILES_MATCHING PATTERN "*.h" ${zentrel_header_exclude})
install(FILES ${PROJECT_BINARY_DIR}/include/zentrel/zentrel_version.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentrel
    COMPONENT Development)

install(EXPORT ZentrelTargets
    NAMESPACE Zentrel::
    DESTINATION ${ZENTREL_CMAKE_DIR}
    COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZentrelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ZentrelConfig.cmake
    INSTALL_DESTINATION ${ZENTREL_CMAKE_DIR})
# The seven functions keep their meaning within a major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZentrelConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/ZentrelConfig.cmake
    ${PROJECT_BINARY_DIR}/ZentrelConfigVersion.cmake
    DESTINATION ${ZENTREL_CMAKE_DIR}
    COMPONENT Development)

# `cmake --install --prefix` may choose the prefix after configuring, so the
# .pc file finds the prefix from its own location instead of naming it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(ZENTREL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(ZENTREL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
    # One ".." per component of LIBDIR/pkgconfig (lib/x86_64-linux-gnu on Debian).
    string(REPLACE "/" ";" _zentrel_pc_parts "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    set(ZENTREL_PC_PREFIX "\${pcfiledir}")
    foreach(_zentrel_part IN LISTS _zentrel_pc_parts)
        string(APPEND ZENTREL_PC_PREFIX "/..")
    endforeach()
    set(ZENTREL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ZENTREL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
    set(ZENTREL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zentrel.pc.in ${PROJECT_BINARY_DIR}/zentrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zentrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT Development)

if(TARGET zentrel_cli)
    install(TARGETS zentrel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
    # The man page is made from the tool's own help, so the two cannot
    # disagree; cli/zentrel.h2m adds the examples.
    find_program(ZENTREL_HELP2MAN help2man)
    if(ZENTREL_HELP2MAN AND ZENTREL_GZIP)
        set(man_page ${PROJECT_BINARY_DIR}/man/zentrel.1)
        add_custom_command(OUTPUT ${man_page}.gz
            COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:zentrel_cli>
                -DHELP2MAN=${ZENTREL_HELP2MAN} -DEXTRAS=${PROJECT_SOURCE_DIR}/cli/zentrel.h2m
                -DOUTPUT=${man_page} -P ${CMAKE_CURRENT_LIST_DIR}/write_man_page.cmake
            COMMAND ${ZENTREL_GZIP} -9nf ${man_page}
            DEPENDS zentrel_cli ${PROJECT_SOURCE_DIR}/cli/zentrel.h2m
                ${CMAKE_CURRENT_LIST_DIR}/write_man_page.cmake
            VERBATIM)
        add_custom_target(zentrel_man_page ALL DEPENDS ${man_page}.gz)
        install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
    else()
        message(WARNING "help2man or gzip not found: the tool's man page is not built")
    endif()
endif()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/zentrel
    DESTINATION ${ZENTREL_PYTHON_INSTALL_DIR}
    COMPONENT Python
    FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
    PATTERN "__pycache__" EXCLUDE)
