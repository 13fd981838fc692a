if(TARGET kt_datatable)
  add_executable(table_parse ${CMAKE_CURRENT_SOURCE_DIR}/table_parse.cpp)
  target_link_libraries(table_parse PRIVATE kt_datatable benchmark::benchmark)
endif()
