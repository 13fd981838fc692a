if(TARGET kt_platform_inet)
  kt_add_fuzzer(inet_url SOURCES inet_url.cpp DEPS kt_platform_inet kt_platform)
endif()
