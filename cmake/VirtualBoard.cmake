# vboard_add_test(<name> [<target> [args...]])   (target defaults to name)
# Registers one ctest for a program linked with vboard_gtest_main, with the
# umockdev preload in its environment (AddressSanitizer runtime first when
# the build is sanitized) so that it need not re-execute itself.
function(vboard_add_test name)
  set(args ${ARGN})
  if(args)
    list(POP_FRONT args target)
  else()
    set(target ${name})
  endif()
  set(preload "libumockdev-preload.so.0")
  if(STM32_SANITIZE)
    execute_process(
      COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(asan_runtime AND EXISTS "${asan_runtime}")
      set(preload "${asan_runtime}:${preload}")
    endif()
  endif()
  if(STM32_SANITIZE_THREAD)
    execute_process(
      COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
      OUTPUT_VARIABLE tsan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(tsan_runtime AND EXISTS "${tsan_runtime}")
      set(preload "${tsan_runtime}:${preload}")
    endif()
  endif()
  add_test(NAME ${name} COMMAND ${target} ${args})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT 120
    ENVIRONMENT "LD_PRELOAD=${preload}")
endfunction()
