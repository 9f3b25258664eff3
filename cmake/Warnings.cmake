# Warnings for our own targets; third-party code keeps its own settings.
function(globaltools_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
  if(GLOBALTOOLS_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
