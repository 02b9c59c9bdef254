korvantis_helper(http_probe ${CMAKE_CURRENT_LIST_DIR}/http_probe.cpp)
# Drives the launcher's own download client and hashing, so it links the launcher library.
target_link_libraries(http_probe PRIVATE korvantis_core)
