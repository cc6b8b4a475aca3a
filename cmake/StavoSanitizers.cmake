# Sanitizer builds apply to everything built here, tests included.
if(STAVO_SANITIZE AND STAVO_TSAN)
  message(FATAL_ERROR "STAVO_SANITIZE and STAVO_TSAN cannot be combined")
endif()
if(STAVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(STAVO_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
