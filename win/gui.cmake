# The dialog GUI program (Windows only): wide-character entry point, no
# console, static runtime so that only system DLLs are imported. The window
# code is a library of its own so that the wine tests can also drive parts
# of it inside their own process.
set(_gui ${CMAKE_CURRENT_LIST_DIR})
add_library(stm32wingui STATIC
  ${_gui}/main_window.cpp
  ${_gui}/preferences.cpp
  ${_gui}/recent_files.cpp
  ${_gui}/about.cpp
  ${_gui}/main_window.h
  ${_gui}/resource.h
)
target_include_directories(stm32wingui PUBLIC ${_gui})
target_compile_definitions(stm32wingui PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_libraries(stm32wingui PUBLIC stm32wincontroller stm32core ole32 uuid comctl32 shell32)
stm32_warnings(stm32wingui)

# Resources apart: the C++ warning flags mean nothing to windres, which
# needs -I for the icon, bitmap and manifest next to the script and for the
# core's version header.
add_library(stm32wingui_resources OBJECT ${_gui}/TidewireSTM32Utility.rc)
target_include_directories(stm32wingui_resources PRIVATE ${_gui} ${PROJECT_BINARY_DIR}/core)
set_property(SOURCE ${_gui}/TidewireSTM32Utility.rc APPEND PROPERTY OBJECT_DEPENDS
  ${_gui}/TidewireSTM32Utility.ico ${_gui}/about.bmp ${_gui}/TidewireSTM32Utility.manifest ${_gui}/resource.h
  ${PROJECT_BINARY_DIR}/core/stm32_version.h)

add_executable(TidewireSTM32Utility WIN32 ${_gui}/main.cpp $<TARGET_OBJECTS:stm32wingui_resources>)
target_link_libraries(TidewireSTM32Utility PRIVATE stm32wingui)
target_link_options(TidewireSTM32Utility PRIVATE -municode -mwindows -static)
stm32_warnings(TidewireSTM32Utility)
