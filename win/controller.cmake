# The portable half of the Windows GUI: FlashController (its parts, each
# the owner of its state, and the operations on them), its settings store
# and text helpers. No window code, so it also builds (and is tested) on
# Linux.
find_package(Threads REQUIRED)
set(STM32WINCONTROLLER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/flash_controller.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_idle_gate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_option_area.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_image_slot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_target_watch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_load.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_upload.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_download.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controller_startup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text.cpp
)
if(WIN32)
  list(APPEND STM32WINCONTROLLER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_registry.cpp)
endif()
add_library(stm32wincontroller STATIC ${STM32WINCONTROLLER_SOURCES})
target_include_directories(stm32wincontroller PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(stm32wincontroller PUBLIC stm32frontend stm32core Threads::Threads)
if(WIN32)
  target_link_libraries(stm32wincontroller PUBLIC advapi32)
endif()
stm32_warnings(stm32wincontroller)
