if(TARGET kt_transfer)
  kt_add_fuzzer(download_site_info SOURCES download_site_info.cpp DEPS kt_transfer kt_platform)
endif()
