korvantis_helper(stand_in_engine ${CMAKE_CURRENT_LIST_DIR}/stand_in_engine.cpp)
