# Installs the headers, the static libraries and the GlobalTools CMake package,
# so that another project can find_package(GlobalTools) and link
# GlobalTools::tools.
include(CMakePackageConfigHelpers)

install(TARGETS tools platform
        EXPORT GlobalToolsTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES tools/interfaces.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tools)
install(DIRECTORY platform/include/platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS atcmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT GlobalToolsTargets
        NAMESPACE GlobalTools::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/GlobalTools)
configure_package_config_file(cmake/GlobalToolsConfig.cmake.in
        ${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfig.cmake
        INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/GlobalTools)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/GlobalTools)
