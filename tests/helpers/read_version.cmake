korvantis_helper(read_version ${CMAKE_CURRENT_LIST_DIR}/read_version.cpp)
target_link_libraries(read_version PRIVATE version user32 gdi32 shell32)
