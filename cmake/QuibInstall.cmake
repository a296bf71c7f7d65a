# cmake --install: the CGI request layer as a package that another CGI program uses with
#   find_package(QuibCgi REQUIRED)
#   target_link_libraries(my.cgi PRIVATE quib::cgi_main)   # main() calls your cgiMain()
# (quib::cgi alone for a program that brings its own main), and the programs.
# Components: cgi (the layer: its archives, cgi.h, the package), upgrade
# (upgrade.cgi) and tools (the host tools), e.g. cmake --install b --component cgi.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS upgrade_cgi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT upgrade)
# The instrument's build has the product alone; the tools stand on platform/host.
if(QUIB_TOOLS AND NOT CMAKE_SYSTEM_NAME STREQUAL "QNX")
  install(TARGETS instrument state_cgi form_echo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tools)
endif()

# The layer and the one platform piece it calls (the instrument root and
# private temporary files); never quib_platform, the simulator and the QNX
# stand-ins that would come with it.
set_target_properties(quib_cgi PROPERTIES EXPORT_NAME cgi)
set_target_properties(quib_cgi_main PROPERTIES EXPORT_NAME cgi_main)
set_target_properties(quib_platform_files PROPERTIES EXPORT_NAME platform_files)
target_include_directories(quib_cgi INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/quib>)
install(TARGETS quib_cgi quib_cgi_main quib_platform_files EXPORT QuibCgiTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT cgi)
# cgi.h is the layer's one public header; it needs nothing else of ours.
install(FILES ${PROJECT_SOURCE_DIR}/cgi/cgi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quib/cgi
        COMPONENT cgi)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QuibCgi)
install(EXPORT QuibCgiTargets NAMESPACE quib:: DESTINATION ${config_dir} COMPONENT cgi)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuibCgiConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QuibCgiConfig.cmake
                              INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuibCgiConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuibCgiConfig.cmake
              ${PROJECT_BINARY_DIR}/QuibCgiConfigVersion.cmake
        DESTINATION ${config_dir} COMPONENT cgi)
