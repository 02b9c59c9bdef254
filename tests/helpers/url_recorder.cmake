korvantis_helper(url_recorder ${CMAKE_CURRENT_LIST_DIR}/url_recorder.cpp)
