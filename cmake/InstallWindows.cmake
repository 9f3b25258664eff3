# The runtime component on Windows: everything in the archive's top folder,
# so that kvconfig.ini, once the sample is renamed, sits beside atcmd.exe
# where the program looks for it. The texts have CR LF line ends for
# Notepad; SHA256SUMS (sha256sum's format) is written last, over the files
# installed before it.
install(TARGETS atcmd RUNTIME DESTINATION . COMPONENT runtime)
math(EXPR GLOBALTOOLS_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")

set(windows_texts kvconfig.ini.sample README.txt)
foreach(name IN LISTS windows_texts)
  configure_file(packaging/windows/${name}.in ${CMAKE_CURRENT_BINARY_DIR}/${name} @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name} DESTINATION . COMPONENT runtime)
endforeach()

install(CODE [[
  set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(name atcmd.exe kvconfig.ini.sample README.txt)
    file(SHA256 "${folder}/${name}" hash)
    string(APPEND sums "${hash}  ${name}\n")
  endforeach()
  file(WRITE "${folder}/SHA256SUMS" "${sums}")
  message(STATUS "Installing: ${folder}/SHA256SUMS")
]] COMPONENT runtime)
