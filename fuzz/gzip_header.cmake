if(TARGET kt_transfer)
  kt_add_fuzzer(gzip_header SOURCES gzip_header.cpp DEPS kt_transfer kt_platform)
endif()
