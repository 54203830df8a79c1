# Tests of the portable FlashController. Natively (Linux): the board-free
# unit tests and the tests against virtual boards. In the Windows cross
# build the same unit tests run under wine, so that the UTF-16 text and the
# Win32 file code are exercised too; GoogleTest is built from the
# distribution's source there, as it ships no mingw build.
set(_controller_unit_sources
  ${CMAKE_CURRENT_LIST_DIR}/text_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/load_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/open_hint_tests.cpp
)
set(_gtest_source /usr/src/googletest/googletest)

if(NOT WIN32 AND STM32_BUILD_VBOARD AND TARGET stm32wincontroller AND GTest_FOUND)
  add_executable(win_controller_unit_tests ${_controller_unit_sources})
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
elseif(WIN32 AND TARGET stm32wincontroller AND EXISTS ${_gtest_source}/src/gtest-all.cc)
  add_library(win_controller_gtest STATIC ${_gtest_source}/src/gtest-all.cc ${_gtest_source}/src/gtest_main.cc)
  target_include_directories(win_controller_gtest SYSTEM PUBLIC ${_gtest_source}/include)
  target_include_directories(win_controller_gtest PRIVATE ${_gtest_source})
  # Compiled once per cross build: keep it cheap.
  target_compile_options(win_controller_gtest PRIVATE -O0 -g0)
  add_executable(win_controller_unit_tests ${_controller_unit_sources})
  target_link_libraries(win_controller_unit_tests PRIVATE stm32wincontroller win_controller_gtest)
  target_link_options(win_controller_unit_tests PRIVATE -static)
  stm32_warnings(win_controller_unit_tests)
  add_test(NAME win_controller_unit_tests COMMAND win_controller_unit_tests)
  # The registry tests use the program's key in the shared wine prefix.
  set_tests_properties(win_controller_unit_tests PROPERTIES TIMEOUT 90 LABELS wine RESOURCE_LOCK wine_registry)
endif()
