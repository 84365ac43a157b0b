# Debian packages, one per install component, built by `cpack -G DEB` from a
# Release build configured with the prefix /usr (scripts/package does both).
# The OpenCV runtime packages that the binaries need are computed by
# dpkg-shlibdeps, not listed here; all versions come from the project's.
set(ZENTREL_PACKAGE_CONTACT "Zentrel developers <zentrel@example.org>" CACHE STRING
    "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZENTREL_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Python)
if(TARGET zentrel_cli)
    list(APPEND CPACK_COMPONENTS_ALL Tools)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")

# The paragraph every package's description starts with; CPack indents the
# lines and turns empty ones into Debian's " .".
set(zentrel_about "Zentrel finds the repeat rectangle (the tile) of a photographed or scanned
repeating pattern, and warps a quadrilateral of an image to an upright
rectangle saved beside it. Seven plain C functions; OpenCV does the image
work.")

set(zentrel_runtime_package libzentrel${PROJECT_VERSION_MAJOR})
# Strict: the other packages were built against exactly this library.
set(zentrel_runtime_depends "${zentrel_runtime_package} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${zentrel_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file lets packages built against this one depend on it through
# dpkg-shlibdeps; the SONAME promises compatibility within the major version.
# (Packages without a shared library get none.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is refreshed through dpkg's trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"repeat detection and perspective rectification of images (library)
${zentrel_about}

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzentrel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ${zentrel_runtime_depends})
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"repeat detection and perspective rectification of images (development)
${zentrel_about}

This package holds the C headers, the CMake package (find_package(Zentrel))
and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zentrel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION graphics)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"repeat detection and perspective rectification of images (tool)
${zentrel_about}

This package holds the zentrel command-line tool, which runs both jobs on
image files, in parallel worker processes and with JSON output.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zentrel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${zentrel_runtime_depends}")
# zentrel.batch runs on a Dask cluster; everything else needs only Python.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-distributed)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"repeat detection and perspective rectification of images (Python 3)
${zentrel_about}

This package holds the Python 3 binding (import zentrel), the command line
python3 -m zentrel, and zentrel.batch for catalogues on a Dask cluster.")

# Debian wants a copyright file and a changelog in each package's doc folder.
string(TIMESTAMP zentrel_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(doc_dir ${PROJECT_BINARY_DIR}/deb/${package})
    configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${doc_dir}/changelog @ONLY)
    execute_process(COMMAND ${ZENTREL_GZIP} -9nf ${doc_dir}/changelog COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${doc_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
        COMPONENT ${component}
        EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
