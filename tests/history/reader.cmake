# Tests of the history's read side and of temp-history (included by
# tests/history/CMakeLists.txt).
add_executable(history_reader_tests ${CMAKE_CURRENT_LIST_DIR}/history_reader_test.cpp)
target_link_libraries(history_reader_tests PRIVATE history_testdb GTest::gtest_main)
temp_warnings(history_reader_tests)
gtest_discover_tests(history_reader_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
