# Slow clients beside normal posts against the bundled receiver (a stress program, not a
# Google Benchmark: it prints latencies and the receiver's threads and memory).
if(TARGET ktfeedback-server)
  add_executable(receiver_slow_clients ${CMAKE_CURRENT_LIST_DIR}/receiver_slow_clients.cpp)
  target_link_libraries(receiver_slow_clients PRIVATE Threads::Threads kt_warnings)
  target_compile_definitions(receiver_slow_clients PRIVATE
    KT_FEEDBACK_SERVER_EXE="$<TARGET_FILE:ktfeedback-server>")
  add_dependencies(receiver_slow_clients ktfeedback-server)
endif()
