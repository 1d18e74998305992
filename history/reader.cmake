# The read side of the history module, included by history/CMakeLists.txt:
# the reader and the text forms join the `history` library; temp-history is
# the command-line tool over them.
target_sources(history PRIVATE ${CMAKE_CURRENT_LIST_DIR}/history_reader.cpp ${CMAKE_CURRENT_LIST_DIR}/history_text.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/history_upkeep.cpp)

add_executable(temp-history ${CMAKE_CURRENT_LIST_DIR}/temp_history_main.cpp)
target_link_libraries(temp-history PRIVATE history)
temp_warnings(temp-history)
install(TARGETS temp-history RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
