# Warnings and sanitizers for the project's own targets.
add_library(vidmill_options INTERFACE)
target_compile_options(vidmill_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra>)
target_include_directories(vidmill_options INTERFACE ${PROJECT_SOURCE_DIR})

if(VIDMILL_ASAN AND VIDMILL_TSAN)
  message(FATAL_ERROR "VIDMILL_ASAN and VIDMILL_TSAN cannot be combined")
endif()
if(VIDMILL_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VIDMILL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
