# Debian packages made by `cpack -G DEB` in a build folder configured for
# /usr (see docs/packaging.md): `vexo` holds what runs (libraries, device
# library when simulated, cipher plug-in, tools, Python package), `vexo-dev`
# what programs build against (headers, CMake package, pkg-config file).
# Install rules without a component belong to `vexo`; those of vexo-dev say
# COMPONENT dev.

set(VEXO_PACKAGE_MAINTAINER "Vexo maintainers <maintainers@vexo.example>")

# Each package documents its copyright and changes, as Debian asks.
set(VEXO_PACKAGE_DOCS ${PROJECT_BINARY_DIR}/package-docs)
foreach(package vexo vexo-dev)
  file(WRITE ${VEXO_PACKAGE_DOCS}/${package}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: vexo\n\n"
    "Files: *\nCopyright: 2026 the Vexo developers\nLicense: all-rights-reserved\n"
    " No licence has been granted for this software; all rights are reserved.\n")
  file(WRITE ${VEXO_PACKAGE_DOCS}/${package}/changelog
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Built from the Vexo sources, version ${PROJECT_VERSION}.\n\n"
    " -- ${VEXO_PACKAGE_MAINTAINER}  Thu, 01 Jan 2026 00:00:00 +0000\n")
  # Compressed as Debian's tools do: best compression, no time stamp.
  execute_process(COMMAND gzip -9nc ${VEXO_PACKAGE_DOCS}/${package}/changelog
    OUTPUT_FILE ${VEXO_PACKAGE_DOCS}/${package}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES ${VEXO_PACKAGE_DOCS}/vexo/copyright ${VEXO_PACKAGE_DOCS}/vexo/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vexo)
install(FILES ${VEXO_PACKAGE_DOCS}/vexo-dev/copyright ${VEXO_PACKAGE_DOCS}/vexo-dev/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vexo-dev COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VEXO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME vexo)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Each description's first line is its package's synopsis.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "runtime for compiled tensor-processor networks
Vexo runs bmodel files, networks compiled for a BM1684X tensor processor.
This package holds the library libvexo.so, the cipher plug-in, the tools
(vexo-run, vexo-model, vexo-llm, vexo-serve, vexo-samples) and the Python
package.")
if(VEXO_DEVICE STREQUAL "sim")
  string(APPEND CPACK_DEBIAN_RUNTIME_DESCRIPTION "
It also holds the simulated device library, which stands in for the
processor's own on machines without one.")
endif()
# The loader's cache learns of the libraries through dpkg's trigger.
file(WRITE ${VEXO_PACKAGE_DOCS}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${VEXO_PACKAGE_DOCS}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME vexo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "vexo (= ${PROJECT_VERSION}), libflatbuffers-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of Vexo
The C and C++ headers of Vexo, its CMake package (find_package(Vexo)) and
its pkg-config file.")

include(CPack)
