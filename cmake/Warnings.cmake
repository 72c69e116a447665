# One warning level for every target of ours.
function(hushlink_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${HUSHLINK_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${HUSHLINK_WERROR}>:-Werror>)
  endif()
endfunction()
