# Installs the library, its public headers, the CMake package and the
# pkg-config file. Tools and the device library install from their folders.
include(CMakePackageConfigHelpers)

install(TARGETS vexo EXPORT VexoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The public headers, each installed under include/vexo/ at its path below
# (relative to the source or, for generated ones, the build tree). Only what
# callers build against: every function they declare links against the
# installed library (tests/install checks it). Internal headers live beside
# their sources and are never installed.
set(VEXO_PUBLIC_HEADERS
  include/llm/generation.h
  include/vexo.h
  include/llm/llmruntime.h
  include/runtime/divudida.h
  include/runtime/miniruntime.h
  include/runtime/minitensor.h
  include/utils/datagen.h
  include/utils/device.h
  include/utils/export.h
  include/utils/utils.h
  bmodel/bmodel.h
  externc/model_api.h
  externc/model_info_c.h)
set(VEXO_GENERATED_PUBLIC_HEADERS
  bmodel/bmodel_generated.h
  utils/version.h)
foreach(header ${VEXO_PUBLIC_HEADERS})
  string(REGEX REPLACE "^include/" "" installed ${header})
  get_filename_component(dir ${installed} DIRECTORY)
  install(FILES ${header} DESTINATION ${VEXO_INSTALL_INCLUDEDIR}/${dir} COMPONENT dev)
endforeach()
foreach(header ${VEXO_GENERATED_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_BINARY_DIR}/generated/${header} DESTINATION ${VEXO_INSTALL_INCLUDEDIR}/${dir} COMPONENT dev)
endforeach()
# The device library's header, which the public headers include: the
# simulated device's copy when building against it (the vendor's header is
# found in its own place otherwise).
if(VEXO_DEVICE STREQUAL "sim")
  install(FILES device/bmlib_runtime.h DESTINATION ${VEXO_INSTALL_INCLUDEDIR} COMPONENT dev)
endif()

install(EXPORT VexoTargets NAMESPACE Vexo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo COMPONENT dev)
configure_package_config_file(cmake/VexoConfig.cmake.in ${PROJECT_BINARY_DIR}/VexoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VexoConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VexoConfig.cmake ${PROJECT_BINARY_DIR}/VexoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo COMPONENT dev)

# The file finds the prefix from its own folder, however deep the libdir.
file(RELATIVE_PATH VEXO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VEXO_PC_TO_PREFIX "${VEXO_PC_TO_PREFIX}")
configure_file(cmake/vexo.pc.in ${PROJECT_BINARY_DIR}/vexo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
