# cmake --install: the programs, and the CGI request layer as a package that
# another CGI program uses with
#   find_package(QuibCgi REQUIRED)
#   target_link_libraries(my.cgi PRIVATE quib::cgi_main)   # main() calls your cgiMain()
# (quib::cgi alone for a program that brings its own main).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The instrument's build has the product alone; the tools stand on platform/host.
set(programs upgrade_cgi)
if(NOT CMAKE_SYSTEM_NAME STREQUAL "QNX")
  list(APPEND programs instrument state_cgi form_echo)
endif()
install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set_target_properties(quib_platform PROPERTIES EXPORT_NAME platform)
set_target_properties(quib_platform_posix PROPERTIES EXPORT_NAME platform_posix)
set_target_properties(quib_cgi PROPERTIES EXPORT_NAME cgi)
set_target_properties(quib_cgi_main PROPERTIES EXPORT_NAME cgi_main)
install(TARGETS quib_cgi quib_cgi_main quib_platform quib_platform_posix EXPORT QuibCgiTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quib)
# cgi.h is the layer's one public header; it needs nothing else of ours.
install(FILES ${CMAKE_SOURCE_DIR}/cgi/cgi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quib/cgi)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QuibCgi)
install(EXPORT QuibCgiTargets NAMESPACE quib:: DESTINATION ${config_dir})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/QuibCgiConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/QuibCgiConfig.cmake
                              INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuibCgiConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuibCgiConfig.cmake
              ${CMAKE_BINARY_DIR}/QuibCgiConfigVersion.cmake
        DESTINATION ${config_dir})
