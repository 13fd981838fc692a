if(TARGET kt_transfer)
  add_executable(transfer_engine ${CMAKE_CURRENT_SOURCE_DIR}/transfer_engine.cpp)
  target_link_libraries(transfer_engine PRIVATE kt_transfer benchmark::benchmark Threads::Threads)
endif()
