if(TARGET kt_transfer)
  # The loopback server of the network tests, also where the tests are not built.
  if(NOT TARGET kt_test_support)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/support)
  endif()
  add_executable(transfer_engine ${CMAKE_CURRENT_SOURCE_DIR}/transfer_engine.cpp)
  target_link_libraries(transfer_engine PRIVATE kt_transfer kt_test_support benchmark::benchmark Threads::Threads)
endif()
