# Release builds carry the hardening that Debian's dpkg-buildflags gives a
# package (hardening=+all): stack protection, fortified libc calls, PIE, full
# RELRO and immediate binding on Linux, plus stack clash protection. Windows
# programs keep ASLR and DEP (the linker's defaults) and add stack
# protection, with mingw's ssp support taken from its static library (the
# toolchains link with -static), so no new DLL is imported. Debug builds, and
# with them the sanitizer presets, are left as they are.
option(GLOBALTOOLS_HARDENING "Harden optimised builds (stack protector, fortify, PIE, RELRO, now)" ON)

set(GLOBALTOOLS_HARDENED OFF)
if(GLOBALTOOLS_HARDENING AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(GLOBALTOOLS_HARDENED ON)
endif()

if(GLOBALTOOLS_HARDENED)
  add_compile_options(-fstack-protector-strong)
  if(WIN32)
    add_link_options(-fstack-protector-strong)
  else()
    add_compile_options(-Wformat -Werror=format-security)
    add_compile_definitions(_FORTIFY_SOURCE=2)
    # Beyond Debian 12's defaults (later releases add it): stack clash
    # protection. Control-flow protection is left out: Debian 12's C start
    # files carry no IBT/SHSTK marking, so no program linked here gets it.
    include(CheckCXXCompilerFlag)
    check_cxx_compiler_flag(-fstack-clash-protection GLOBALTOOLS_HAS_STACK_CLASH_PROTECTION)
    if(GLOBALTOOLS_HAS_STACK_CLASH_PROTECTION)
      add_compile_options(-fstack-clash-protection)
    endif()
    # Position-independent executables, and position-independent static
    # libraries so that a loadable module can link them too.
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    add_link_options(-Wl,-z,relro -Wl,-z,now)
  endif()
endif()
