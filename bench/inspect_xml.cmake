# kt-inspect xml over 10 and 100 MB documents: time and linearity.
if(TARGET kt-inspect)
  add_executable(inspect_xml ${CMAKE_CURRENT_SOURCE_DIR}/inspect_xml.cpp)
  target_link_libraries(inspect_xml PRIVATE benchmark::benchmark)
  target_compile_definitions(inspect_xml PRIVATE KT_INSPECT_PATH="$<TARGET_FILE:kt-inspect>")
  add_dependencies(inspect_xml kt-inspect)
endif()
