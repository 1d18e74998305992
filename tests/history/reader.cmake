# Tests of the history's read side and of temp-history (included by
# tests/history/CMakeLists.txt).
add_executable(history_reader_tests ${CMAKE_CURRENT_LIST_DIR}/history_reader_test.cpp)
target_link_libraries(history_reader_tests PRIVATE test_common history_testdb GTest::gtest_main)
temp_warnings(history_reader_tests)
gtest_discover_tests(history_reader_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)

add_executable(temp_history_cli_tests ${CMAKE_CURRENT_LIST_DIR}/temp_history_cli_test.cpp)
target_link_libraries(temp_history_cli_tests PRIVATE test_common history_testdb GTest::gtest_main util)
temp_test_runs(temp_history_cli_tests TEMP_HISTORY_BINARY temp-history)
temp_warnings(temp_history_cli_tests)
gtest_discover_tests(temp_history_cli_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
