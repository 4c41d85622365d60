# Installation: header, library, a CMake package (find_package(libkernels) gives
# the imported target libkernels::kernels) and a pkg-config file.
include(CMakePackageConfigHelpers)

# Inside a Python wheel (built by scikit-build-core, which installs into the
# wheel's root) only the shared library and the example molecules belong, in the
# package directory where the Python loader finds them.  The library is installed
# under its plain name: a wheel cannot carry the versioned symlinks.
if(KERNELS_PYTHON_PACKAGE)
  install(FILES $<TARGET_FILE:kernels> DESTINATION libkernels RENAME libkernels.so)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/molecules/benzene.molden
                ${PROJECT_SOURCE_DIR}/examples/molecules/pentacene.molden
          DESTINATION libkernels/data)
  return()
endif()

install(TARGETS kernels EXPORT libkernelsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KERNELS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/libkernels)
install(EXPORT libkernelsTargets NAMESPACE libkernels:: DESTINATION ${KERNELS_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/libkernelsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/libkernelsConfig.cmake INSTALL_DESTINATION ${KERNELS_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/libkernelsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/libkernelsConfig.cmake
  ${PROJECT_BINARY_DIR}/libkernelsConfigVersion.cmake DESTINATION ${KERNELS_CMAKE_DIR})

# The pkg-config file locates its prefix relative to itself, so the install can move.
file(RELATIVE_PATH KERNELS_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/libkernels.pc.in ${PROJECT_BINARY_DIR}/libkernels.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/libkernels.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
