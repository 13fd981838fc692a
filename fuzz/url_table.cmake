if(TARGET kt_paths)
  kt_add_fuzzer(url_table SOURCES url_table.cpp DEPS kt_paths kt_xml kt_platform)
endif()
