# Windows cross build: the programs load libusb-1.0.dll at run time (the
# prefix that pkg-config names holds it in bin/). It is copied beside every
# program of the build that loads it, so that each runs from its build
# folder as it runs from the zip, and shipped there by Packaging.cmake.
# (A test run may put another libusb-1.0.dll in its place: scripts/wine-usb.sh.)
#   stm32_libusb_dll_beside(<target>...)   targets that do not exist are skipped
if(NOT WIN32)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_get_variable(_stm32_libusb_prefix libusb-1.0 prefix)
set(STM32_LIBUSB_DLL ${_stm32_libusb_prefix}/bin/libusb-1.0.dll)
if(NOT EXISTS ${STM32_LIBUSB_DLL})
  message(FATAL_ERROR "libusb-1.0.dll not found in ${_stm32_libusb_prefix}/bin: "
                      "build libusb as a DLL (scripts/packages/windows.post)")
endif()

function(stm32_libusb_dll_beside)
  set(_commands)
  foreach(_target IN LISTS ARGN)
    if(TARGET ${_target})
      list(APPEND _commands COMMAND ${CMAKE_COMMAND} -E copy_if_different ${STM32_LIBUSB_DLL}
                                    $<TARGET_FILE_DIR:${_target}>/libusb-1.0.dll)
      list(APPEND _targets ${_target})
    endif()
  endforeach()
  if(_commands)
    add_custom_target(stm32_libusb_dll ALL ${_commands} VERBATIM)
    foreach(_target IN LISTS _targets)
      add_dependencies(${_target} stm32_libusb_dll)
    endforeach()
  endif()
endfunction()
