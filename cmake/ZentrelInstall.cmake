# Install rules: the shared library with its SONAME links, the public
# headers, a CMake package (Zentrel::zentrel), a pkg-config file and the tool.
include(CMakePackageConfigHelpers)

set(ZENTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zentrel)

install(TARGETS zentrel EXPORT ZentrelTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/zentrel/zentrel.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentrel)
if(NOT WIN32)
    # The DLL does not export the extended API (yet), so its header stays out.
    install(FILES ${PROJECT_SOURCE_DIR}/include/zentrel/zentrel_ext.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentrel)
endif()

install(EXPORT ZentrelTargets
    NAMESPACE Zentrel::
    DESTINATION ${ZENTREL_CMAKE_DIR})
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
    DESTINATION ${ZENTREL_CMAKE_DIR})

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
install(FILES ${PROJECT_BINARY_DIR}/zentrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET zentrel_cli)
    install(TARGETS zentrel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/zentrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
