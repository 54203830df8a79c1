# Windows cross build: the programs load libusb-1.0.dll at run time (the
# prefix that pkg-config names holds it in bin/). It is copied beside every
# program of the build, tests included, so that each runs from its build
# folder as it runs from the zip; Packaging.cmake ships it beside the .exe
# files. (A test run may put another libusb-1.0.dll in its place:
# scripts/wine-usb.sh.)
#   stm32_libusb_dll_beside_programs()   once, after every folder is added
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

function(_stm32_executables_in directory out)
  get_property(_targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  set(_found)
  foreach(_target IN LISTS _targets)
    get_target_property(_type ${_target} TYPE)
    if(_type STREQUAL "EXECUTABLE")
      list(APPEND _found ${_target})
    endif()
  endforeach()
  get_property(_subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(_subdirectory IN LISTS _subdirectories)
    _stm32_executables_in(${_subdirectory} _below)
    list(APPEND _found ${_below})
  endforeach()
  set(${out} ${_found} PARENT_SCOPE)
endfunction()

function(stm32_libusb_dll_beside_programs)
  _stm32_executables_in(${PROJECT_SOURCE_DIR} _programs)
  set(_commands)
  foreach(_target IN LISTS _programs)
    list(APPEND _commands COMMAND ${CMAKE_COMMAND} -E copy_if_different ${STM32_LIBUSB_DLL}
                                  $<TARGET_FILE_DIR:${_target}>/libusb-1.0.dll)
  endforeach()
  if(_commands)
    add_custom_target(stm32_libusb_dll ALL ${_commands} VERBATIM)
    foreach(_target IN LISTS _programs)
      add_dependencies(${_target} stm32_libusb_dll)
    endforeach()
  endif()
endfunction()
