# Install rules, in two components that the packages are made of:
#   runtime      atcmd, its manual page and documents (Linux), or atcmd.exe
#                with a sample kvconfig.ini, a README.txt and SHA256SUMS
#                (Windows, all in the archive's top folder)
#   development  the headers, the static libraries, the GlobalTools CMake
#                package and globaltools.pc, so that another project can
#                find_package(GlobalTools) or ask pkg-config for globaltools.
# A rule that names no component lands in neither package.
include(CMakePackageConfigHelpers)

# Directories 0755 whatever the umask of the machine that installs or packs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(GLOBALTOOLS_RUNTIME_PACKAGE atcmd CACHE STRING "Name of the runtime package")
set(GLOBALTOOLS_DEV_PACKAGE libglobaltools-dev CACHE STRING "Name of the development package")
set(GLOBALTOOLS_PACKAGE_MAINTAINER
    "GlobalTools maintainers <maintainers@users.noreply.c-seed-9e255b72.example>"
    CACHE STRING "Maintainer named in the packages and their changelog")
# The headers sit in a folder of their own: their includes start with tools/
# and platform/, names too plain for /usr/include itself.
set(GLOBALTOOLS_INCLUDE_SUBDIR globaltools)
set(GLOBALTOOLS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/GlobalTools)
# Static libraries under names of their own (libglobaltools.a, not libtools.a).
set_target_properties(tools PROPERTIES OUTPUT_NAME globaltools)
set_target_properties(platform PROPERTIES OUTPUT_NAME globaltools-platform)

# --- development ---
install(TARGETS tools platform
        EXPORT GlobalToolsTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${GLOBALTOOLS_INCLUDE_SUBDIR})
# A stripped install (cpack strips) also drops what Debian's dh_strip drops:
# the libraries' debug sections, which install(TARGETS) leaves in static
# libraries, and the compiler's .comment notes.
function(globaltools_strip_installed component path)
  if(CMAKE_STRIP)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" ${ARGN} --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${path}\")
      endif()" COMPONENT ${component})
  endif()
endfunction()
foreach(lib tools platform)
  globaltools_strip_installed(development ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${lib}>
                              --strip-debug --enable-deterministic-archives)
endforeach()
install(FILES tools/interfaces.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${GLOBALTOOLS_INCLUDE_SUBDIR}/tools
        COMPONENT development)
install(DIRECTORY platform/include/platform
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${GLOBALTOOLS_INCLUDE_SUBDIR}
        COMPONENT development)
install(EXPORT GlobalToolsTargets
        NAMESPACE GlobalTools::
        DESTINATION ${GLOBALTOOLS_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(cmake/GlobalToolsConfig.cmake.in
        ${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfig.cmake
        INSTALL_DESTINATION ${GLOBALTOOLS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/GlobalToolsConfigVersion.cmake
        DESTINATION ${GLOBALTOOLS_CMAKE_DIR}
        COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place, so the file
# holds for any install prefix. The platform's compile options (-fshort-wchar
# on POSIX) and link libraries are the ones the CMake package carries.
file(RELATIVE_PATH GLOBALTOOLS_PC_TO_PREFIX
     "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" GLOBALTOOLS_PC_TO_PREFIX "${GLOBALTOOLS_PC_TO_PREFIX}")
if(WIN32)
  set(GLOBALTOOLS_PC_CFLAGS "-D_WIN32_WINNT=0x0601 -DMINGW_HAS_SECURE_API=1")
  set(GLOBALTOOLS_PC_LIBS "-lole32 -loleaut32 -luuid -lshell32 -lshlwapi")
else()
  set(GLOBALTOOLS_PC_CFLAGS "-fshort-wchar")
  set(GLOBALTOOLS_PC_LIBS "-pthread")
  foreach(lib IN LISTS CMAKE_DL_LIBS)
    string(APPEND GLOBALTOOLS_PC_LIBS " -l${lib}")
  endforeach()
endif()
configure_file(packaging/globaltools.pc.in ${CMAKE_CURRENT_BINARY_DIR}/globaltools.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/globaltools.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# --- runtime ---
if(WIN32)
  include(cmake/InstallWindows.cmake)
else()
  include(cmake/InstallLinux.cmake)
endif()
