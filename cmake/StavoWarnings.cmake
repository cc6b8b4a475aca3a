# Warning set shared by every target of the project.
set(STAVO_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2 -Wundef
  -Wnull-dereference -Wdouble-promotion -Wimplicit-fallthrough -Wvla)
set(STAVO_CXX_WARNINGS -Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast)
if(STAVO_WERROR)
  list(APPEND STAVO_WARNINGS -Werror)
endif()

function(stavo_set_warnings target)
  target_compile_options(${target} PRIVATE ${STAVO_WARNINGS}
    $<$<COMPILE_LANGUAGE:CXX>:${STAVO_CXX_WARNINGS}>)
endfunction()
