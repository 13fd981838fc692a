# A 50 MB attachment posted as the dialog does it, beside the curl command line.
if(TARGET kt_form AND TARGET kt_transfer AND TARGET ktfeedback-server)
  find_program(KT_BENCH_CURL curl)
  if(KT_BENCH_CURL)
    add_executable(reporter_post ${CMAKE_CURRENT_SOURCE_DIR}/reporter_post.cpp)
    target_link_libraries(reporter_post PRIVATE kt_form kt_transfer kt_platform
      benchmark::benchmark Threads::Threads)
    # The child-process helper of the tests (header only).
    target_include_directories(reporter_post PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(reporter_post PRIVATE
      KT_FEEDBACK_SERVER_EXE="$<TARGET_FILE:ktfeedback-server>"
      KT_CURL_EXE="${KT_BENCH_CURL}")
    add_dependencies(reporter_post ktfeedback-server)
  endif()
endif()
