# The launcher built as a maintainer with a key builds it, with the test key of tests/keys:
# the scenarios of signed manifests run it (tests/helpers/signed/Korvantis.exe).
korvantis_update_key_library(korvantis_test_update_key ${CMAKE_SOURCE_DIR}/tests/keys/update-test.pub)
add_executable(signed_launcher ${CMAKE_SOURCE_DIR}/launcher/main.cpp ${CMAKE_SOURCE_DIR}/resources/korvantis.rc)
set_target_properties(signed_launcher PROPERTIES OUTPUT_NAME Korvantis
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/signed)
target_link_libraries(signed_launcher PRIVATE korvantis_core korvantis_test_update_key)
if(MINGW)
  target_link_options(signed_launcher PRIVATE -static -s)
endif()
