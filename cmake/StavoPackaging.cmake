# Debian packages (`make package`): one per install component.
#   libstavoc0      the shared libraries (libstavoc, libbrindle, libember)
#   libstavoc-dev   headers, the link-time .so names, CMake package and pkg-config files
#   stavoctl        the command-line tool
#   stavo-devserver the local stand-in server and its certificate script
# Library dependencies of the binaries come from dpkg-shlibdeps (Debian's libcurl and OpenSSL
# packages); the packages' own libraries are resolved inside the build tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stavo)
set(CPACK_PACKAGE_VENDOR "stavo client libraries")
set(CPACK_PACKAGE_VERSION ${STAVO_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "stavo maintainers <maintainers@stavo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client libraries and tools for stavo servers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/client ${PROJECT_BINARY_DIR}/json ${PROJECT_BINARY_DIR}/ember)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libstavoc0)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "stavo client library (libstavoc), schema-mapped JSON (libbrindle) and logging (libember)")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libstavoc-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libstavoc0 (= ${STAVO_PACKAGE_VERSION}), libcurl4-openssl-dev, libssl-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Headers, CMake and pkg-config files for libstavoc")

set(CPACK_DEBIAN_STAVOCTL_PACKAGE_NAME stavoctl)
set(CPACK_DEBIAN_STAVOCTL_PACKAGE_SECTION net)
set(CPACK_DEBIAN_STAVOCTL_PACKAGE_DEPENDS "libstavoc0 (= ${STAVO_PACKAGE_VERSION})")
set(CPACK_COMPONENT_STAVOCTL_DESCRIPTION "Command-line tool for stavo servers")

set(CPACK_DEBIAN_DEVSERVER_PACKAGE_NAME stavo-devserver)
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_DEPENDS "nghttp2-proxy, openssl")
set(CPACK_COMPONENT_DEVSERVER_DESCRIPTION
  "Local stand-in for a stavo server, for development and tests")

set(CPACK_COMPONENTS_ALL runtime dev stavoctl devserver)
include(CPack)
