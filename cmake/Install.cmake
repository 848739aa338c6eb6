# Installs the library, its header, a CMake package (find_package(liblumo) gives
# liblumo::liblumo) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS lumo EXPORT liblumoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/liblumo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT liblumoTargets NAMESPACE liblumo::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/liblumo)

configure_package_config_file(cmake/liblumoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/liblumoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/liblumo)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/liblumoConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/liblumoConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/liblumoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/liblumo)

# The pkg-config file finds the prefix from its own place, so the installed tree can move.
file(RELATIVE_PATH LUMO_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/liblumo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/liblumo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/liblumo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
