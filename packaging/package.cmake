# The Debian package, built from the install rules: cpack -G DEB in the build
# directory gives kest-core_<version>_<arch>.deb, with its dependencies
# computed from the binary by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME kest-core)
set(CPACK_PACKAGE_VENDOR "kest-core")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop automation engine driven over JSON-RPC")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "kest-core lets a script or an agent see and operate an X11 desktop over\n"
  "JSON-RPC 2.0: it lists, launches and quits applications, lists and grabs\n"
  "windows, reads a window's accessibility tree (AT-SPI2) with short refs for\n"
  "its elements, and clicks, types, scrolls, drags, reads and waits for them by\n"
  "ref (XTest). It also drives menus, dialogs, the clipboard and screenshots.\n"
  "\n"
  "It runs one request from its command line or standard input, or serves them\n"
  "as a daemon on a Unix socket, which the included systemd user unit starts in\n"
  "the graphical session.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(KEST_PACKAGE_MAINTAINER "kest-core maintainers <maintainers@kest-core.invalid>" CACHE STRING
    "The Debian package's maintainer, as \"Name <address>\"")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KEST_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The accessibility bus that applications join.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "at-spi2-core")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
