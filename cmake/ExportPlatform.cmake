# globaltools_export_platform(<executable>)
# POSIX: the executable links the whole platform API and exports exactly it
# (platform/posix-exports.txt, turned into a linker dynamic list), so an
# in-process server module it loads leaves those names undefined and calls
# the program's own platform layer. Nothing else of the program is exported.
function(globaltools_export_platform target)
  if(WIN32)
    return()
  endif()
  set(list_file "${PROJECT_BINARY_DIR}/platform-exports.dynlist")
  file(STRINGS "${PROJECT_SOURCE_DIR}/platform/posix-exports.txt" names REGEX "^[A-Za-z_]")
  if(NOT EXISTS "${list_file}")
    list(JOIN names ";\n  " body)
    file(WRITE "${list_file}" "{\n  ${body};\n};\n")
  endif()
  foreach(name IN LISTS names)
    # Pull the definition out of the static platform library even when the
    # program itself does not call it.
    target_link_options(${target} PRIVATE "LINKER:--undefined=${name}")
  endforeach()
  target_link_options(${target} PRIVATE "LINKER:--dynamic-list=${list_file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${PROJECT_SOURCE_DIR}/platform/posix-exports.txt")
endfunction()
