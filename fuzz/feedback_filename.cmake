# The receiver is a tool, which partial builds leave out: its form parsing is compiled in here.
kt_add_fuzzer(feedback_filename SOURCES feedback_filename.cpp
  ${PROJECT_SOURCE_DIR}/tools/feedback-server/multipart.cpp)
target_include_directories(feedback_filename PRIVATE ${PROJECT_SOURCE_DIR}/tools/feedback-server)
