# Installation: the client library and its sibling layers with their public
# headers, the quarn tool (cli/), a CMake package (find_package(qx-quarn-tools)
# gives the imported target qx::quarn_tools) and a pkg-config file
# (qx-quarn-tools.pc). Everything installed is relocatable: the package
# files and run paths are relative to where they land.
include(CMakePackageConfigHelpers)

set(QX_PACKAGE_NAME qx-quarn-tools)
set(QX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QX_PACKAGE_NAME})
set(QX_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set_target_properties(qx-quarn-tools PROPERTIES EXPORT_NAME quarn_tools)
set_target_properties(qx-common PROPERTIES EXPORT_NAME common)
set_target_properties(qx-math PROPERTIES EXPORT_NAME math)
set_target_properties(qx-msgs PROPERTIES EXPORT_NAME msgs)

# A sanitized library needs the sanitizer runtimes in every program that
# links it, so a sanitized build passes the flags on to its consumers.
set(QX_CONSUMER_LINK_FLAGS "")
if(QX_SANITIZE)
  set(QX_CONSUMER_LINK_FLAGS -fsanitize=address -fsanitize=undefined)
  target_link_options(qx-quarn-tools INTERFACE
    "$<INSTALL_INTERFACE:${QX_CONSUMER_LINK_FLAGS}>")
endif()

install(TARGETS qx-quarn-tools qx-common qx-math qx-msgs EXPORT qx-quarn-tools-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ common/include/ math/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/msgs/qx/msgs/quarn_metadata.pb.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qx/msgs)

install(EXPORT qx-quarn-tools-targets NAMESPACE qx::
  FILE qx-quarn-tools-targets.cmake DESTINATION ${QX_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/qx-quarn-tools-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qx-quarn-tools-config.cmake
  INSTALL_DESTINATION ${QX_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qx-quarn-tools-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qx-quarn-tools-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qx-quarn-tools-config-version.cmake
  DESTINATION ${QX_CMAKE_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own location.
file(RELATIVE_PATH QX_PKGCONFIG_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${QX_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QX_PKGCONFIG_TO_PREFIX "${QX_PKGCONFIG_TO_PREFIX}")
string(REPLACE ";" " " QX_PKGCONFIG_LINK_FLAGS "${QX_CONSUMER_LINK_FLAGS}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/qx-quarn-tools.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/qx-quarn-tools.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qx-quarn-tools.pc DESTINATION ${QX_PKGCONFIG_DIR})

# Installs into a temporary prefix and builds the example program against it,
# once through the CMake package and once through pkg-config, then runs both.
if(QX_BUILD_TESTS AND TARGET quarn)
  add_test(NAME Packaging
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/test/packaging/install_test.sh
            ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(Packaging PROPERTIES TIMEOUT 600)
endif()
