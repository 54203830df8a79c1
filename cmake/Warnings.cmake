# Warnings for the project's own targets: stm32_warnings(target)
# CI turns STM32_WERROR on; it stays off by default so that a newer compiler's
# new warning does not stop a user's build. Third-party code (gtest, libusb)
# never gets these flags.
option(STM32_WERROR "Treat warnings in the project's own targets as errors" OFF)

function(stm32_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${STM32_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${STM32_WERROR}>:-Werror>)
  endif()
endfunction()
