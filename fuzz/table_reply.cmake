if(TARGET kt_datatable)
  kt_add_fuzzer(table_reply SOURCES table_reply.cpp DEPS kt_datatable)
endif()
