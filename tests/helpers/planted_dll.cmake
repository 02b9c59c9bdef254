# The same mark-leaving DLL under each name a planted copy may have.
foreach(dll winhttp bcrypt)
  add_library(planted_${dll} SHARED ${CMAKE_CURRENT_LIST_DIR}/planted_dll.cpp)
  set_target_properties(planted_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX "" SUFFIX ".dll"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted)
  target_link_libraries(planted_${dll} PRIVATE korvantis_warnings)
  target_compile_definitions(planted_${dll} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  if(MINGW)
    target_link_options(planted_${dll} PRIVATE -static)
  endif()
endforeach()
