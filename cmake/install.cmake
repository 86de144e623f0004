# Installs the library, its public headers, the CMake package and the
# pkg-config file. Tools and the device library install from their folders.
include(CMakePackageConfigHelpers)

install(TARGETS vexo EXPORT VexoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/ DESTINATION ${VEXO_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(DIRECTORY bmodel/ DESTINATION ${VEXO_INSTALL_INCLUDEDIR}/bmodel FILES_MATCHING PATTERN "*.h"
  PATTERN "cipher" EXCLUDE PATTERN "internal" EXCLUDE)
install(DIRECTORY externc/ DESTINATION ${VEXO_INSTALL_INCLUDEDIR}/externc FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_BINARY_DIR}/generated/ DESTINATION ${VEXO_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

install(EXPORT VexoTargets NAMESPACE Vexo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo)
configure_package_config_file(cmake/VexoConfig.cmake.in ${PROJECT_BINARY_DIR}/VexoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VexoConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VexoConfig.cmake ${PROJECT_BINARY_DIR}/VexoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo)

configure_file(cmake/vexo.pc.in ${PROJECT_BINARY_DIR}/vexo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
