korvantis_helper(read_shortcut ${CMAKE_CURRENT_LIST_DIR}/read_shortcut.cpp)
target_link_libraries(read_shortcut PRIVATE ole32 uuid shell32)
