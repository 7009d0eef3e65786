# Every target of ours gets the same warnings; CI turns them into errors.
function(parlando_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused -Woverloaded-virtual
    -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
  if(PARLANDO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(PARLANDO_SANITIZE)
  add_compile_options(-fsanitize=${PARLANDO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PARLANDO_SANITIZE})
endif()
