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
  set(names_file "${PROJECT_SOURCE_DIR}/platform/posix-exports.txt")
  # A changed list configures the build again; the dynamic list is rewritten
  # only when its text changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${names_file}")
  file(STRINGS "${names_file}" names REGEX "^[A-Za-z_]")
  list(JOIN names ";\n  " body)
  file(CONFIGURE OUTPUT "${list_file}" CONTENT "{\n  ${body};\n};\n")
  foreach(name IN LISTS names)
    # Pull the definition out of the static platform library even when the
    # program itself does not call it.
    target_link_options(${target} PRIVATE "LINKER:--undefined=${name}")
  endforeach()
  target_link_options(${target} PRIVATE "LINKER:--dynamic-list=${list_file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${list_file}")
endfunction()

# globaltools_use_platform_headers(<target>)
# The platform's headers and compile flags without its code, for code that
# also goes into an in-process server module: there the platform's names stay
# undefined and resolve to the loading program's exports.
function(globaltools_use_platform_headers target)
  target_include_directories(${target} PUBLIC $<TARGET_PROPERTY:platform,INTERFACE_INCLUDE_DIRECTORIES>)
  target_compile_definitions(${target} PUBLIC $<TARGET_PROPERTY:platform,INTERFACE_COMPILE_DEFINITIONS>)
  target_compile_options(${target} PUBLIC $<TARGET_PROPERTY:platform,INTERFACE_COMPILE_OPTIONS>)
endfunction()
