korvantis_helper(bench_timing ${CMAKE_CURRENT_LIST_DIR}/bench_timing.cpp)
# Times the launcher's own hashing and download code (bench/run.sh), so it links the launcher library.
target_link_libraries(bench_timing PRIVATE korvantis_core bcrypt)
