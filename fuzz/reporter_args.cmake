if(TARGET kt_form)
  kt_add_fuzzer(reporter_args SOURCES reporter_args.cpp DEPS kt_form kt_platform)
endif()
