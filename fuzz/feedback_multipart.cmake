# The receiver is a tool, which partial builds leave out: its form parsing is compiled in here.
kt_add_fuzzer(feedback_multipart SOURCES feedback_multipart.cpp
  ${PROJECT_SOURCE_DIR}/tools/feedback-server/multipart.cpp)
target_include_directories(feedback_multipart PRIVATE ${PROJECT_SOURCE_DIR}/tools/feedback-server)
