# Win32 GUI tests, cross-built and run through wine (the crosscompiling
# emulator). They share one wine prefix and its registry, so they run one
# at a time.
set(_gui_tests ${CMAKE_CURRENT_LIST_DIR})
add_library(gui_harness STATIC ${_gui_tests}/gui_harness.cpp ${_gui_tests}/gui_harness.h)
target_compile_definitions(gui_harness PUBLIC UNICODE _UNICODE)
target_link_options(gui_harness INTERFACE -municode -static)
stm32_warnings(gui_harness)

add_executable(gui_process_tests ${_gui_tests}/gui_process_tests.cpp)
target_include_directories(gui_process_tests PRIVATE ${PROJECT_SOURCE_DIR}/win)
target_link_libraries(gui_process_tests PRIVATE gui_harness)
stm32_warnings(gui_process_tests)

add_executable(gui_inproc_tests ${_gui_tests}/gui_inproc_tests.cpp $<TARGET_OBJECTS:stm32wingui_resources>)
target_link_libraries(gui_inproc_tests PRIVATE gui_harness stm32wingui)
stm32_warnings(gui_inproc_tests)

foreach(name startup resizing command-line file-dialogs preferences)
  add_test(NAME gui_process_${name} COMMAND gui_process_tests ${name} $<TARGET_FILE:TidewireSTM32Utility>)
  set_tests_properties(gui_process_${name} PROPERTIES RESOURCE_LOCK wine_registry TIMEOUT 90 LABELS wine)
endforeach()
if(TARGET stm32cmd)
  add_test(NAME gui_process_stm32cmd COMMAND gui_process_tests stm32cmd $<TARGET_FILE:stm32cmd>)
  set_tests_properties(gui_process_stm32cmd PROPERTIES RESOURCE_LOCK wine_registry TIMEOUT 90 LABELS wine)
endif()
foreach(name menus recent-list preferences-target)
  add_test(NAME gui_inproc_${name} COMMAND gui_inproc_tests ${name})
  set_tests_properties(gui_inproc_${name} PROPERTIES RESOURCE_LOCK wine_registry TIMEOUT 90 LABELS wine)
endforeach()

# Not a test: puts the windows on the screen for scripts/screenshots-win.sh.
add_executable(gui_show ${_gui_tests}/gui_show.cpp)
target_include_directories(gui_show PRIVATE ${PROJECT_SOURCE_DIR}/win)
target_link_libraries(gui_show PRIVATE gui_harness)
stm32_warnings(gui_show)
