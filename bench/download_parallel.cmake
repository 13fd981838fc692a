if(TARGET kt_transfer)
  # The loopback server of the network tests, also where the tests are not built.
  if(NOT TARGET kt_test_support)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/support)
  endif()
  add_executable(download_parallel ${CMAKE_CURRENT_SOURCE_DIR}/download_parallel.cpp)
  target_link_libraries(download_parallel PRIVATE kt_transfer kt_test_support benchmark::benchmark Threads::Threads)
endif()
