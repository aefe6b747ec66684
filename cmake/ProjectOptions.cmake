# Warnings and sanitizers for the project's own targets.
add_library(vidmill_options INTERFACE)
target_compile_options(vidmill_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra>
  $<$<AND:$<BOOL:${VIDMILL_WERROR}>,$<COMPILE_LANGUAGE:CXX,C>>:-Werror>)
target_include_directories(vidmill_options INTERFACE ${PROJECT_SOURCE_DIR})

if(VIDMILL_ASAN AND VIDMILL_TSAN)
  message(FATAL_ERROR "VIDMILL_ASAN and VIDMILL_TSAN cannot be combined")
endif()
if(VIDMILL_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VIDMILL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VIDMILL_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  if(VIDMILL_ASAN OR VIDMILL_TSAN)
    message(FATAL_ERROR "VIDMILL_FUZZ brings its own sanitizers: leave VIDMILL_ASAN and VIDMILL_TSAN off")
  endif()
  # The product is instrumented for coverage and AddressSanitizer; the fuzz
  # targets themselves link the fuzzer (tests/fuzz).
  add_compile_options(-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address)
endif()
if(VIDMILL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
