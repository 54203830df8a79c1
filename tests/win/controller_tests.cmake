# Native tests of the portable FlashController (Linux only): board-free tests
# always, the board tests once the virtual board's CMake helpers exist.
if(NOT WIN32 AND STM32_BUILD_VBOARD AND TARGET stm32wincontroller AND GTest_FOUND)
  add_executable(win_controller_unit_tests
    ${CMAKE_CURRENT_LIST_DIR}/text_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/load_tests.cpp
  )
  target_link_libraries(win_controller_unit_tests PRIVATE stm32wincontroller GTest::gtest GTest::gtest_main)
  stm32_warnings(win_controller_unit_tests)
  add_test(NAME win_controller_unit_tests COMMAND win_controller_unit_tests)
  set_tests_properties(win_controller_unit_tests PROPERTIES TIMEOUT 60)
  if(COMMAND vboard_add_test AND TARGET vboard AND TARGET vboard_gtest_main)
    add_executable(win_controller_board_tests
      ${CMAKE_CURRENT_LIST_DIR}/watch_tests.cpp
      ${CMAKE_CURRENT_LIST_DIR}/operation_tests.cpp
    )
    target_link_libraries(win_controller_board_tests PRIVATE stm32wincontroller vboard vboard_gtest_main GTest::gtest)
    stm32_warnings(win_controller_board_tests)
    vboard_add_test(win_controller_board_tests win_controller_board_tests)
  endif()
endif()
