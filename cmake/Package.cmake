# CPack: the packages are made of the install components (cmake/Install.cmake).
#   Linux:   cpack -G DEB  ->  <runtime>_<version>_<arch>.deb (atcmd, manual,
#            and whatever else is installed as COMPONENT runtime) and
#            <dev>_<version>_<arch>.deb (COMPONENT development)
#   Windows: cpack -G ZIP  ->  atcmd-<version>-win32.zip, the runtime only
# `cmake --workflow --preset package` and `cpack --preset windows-x86` do it.
set(CPACK_PACKAGE_NAME ${GLOBALTOOLS_RUNTIME_PACKAGE})
set(CPACK_PACKAGE_VENDOR "GlobalTools maintainers")
set(CPACK_PACKAGE_CONTACT "${GLOBALTOOLS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description (first line: its synopsis) is its own, below;
# an empty summary keeps CPack from putting one line in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "atcmd-${PROJECT_VERSION}-win${GLOBALTOOLS_WINDOWS_BITS}")
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL runtime)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime development)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SOURCE globaltools)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies come from dpkg-shlibdeps, over every ELF file packaged.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${GLOBALTOOLS_RUNTIME_PACKAGE})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"send one AT command to an LTE modem over MBIM
atcmd sends an AT command, followed by CR LF, to a mobile-broadband modem
through the modem's MBIM AT device service and prints the modem's answer as
it was received. It is one request per run: the answer goes to standard
output, failures to an optional log file.
.
Without a real modem provider, atcmd talks to a built-in simulated modem.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${GLOBALTOOLS_DEV_PACKAGE})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"GlobalTools component library (development files)
The component library behind atcmd: a factory that hands out components by
interface ID, an MBIM device-service channel, a serial-port channel, a parser
for length-prefixed modem answers and two file loggers.
.
This package holds the headers, the static libraries, the GlobalTools CMake
package (find_package(GlobalTools)) and globaltools.pc for pkg-config.")
endif()

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "atcmd program")
cpack_add_component(development DISPLAY_NAME "Headers and static libraries")
