# Warnings for every target of the project: vexlor_warnings(<target>).
function(vexlor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VEXLOR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
