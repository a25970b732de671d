# Warning and sanitizer settings shared by every target of the project.

function(hb_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# HB_SANITIZE: a comma-separated -fsanitize list set by the asan/tsan presets.
set(HB_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined")
if(HB_SANITIZE)
  add_compile_options(-fsanitize=${HB_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${HB_SANITIZE})
endif()
