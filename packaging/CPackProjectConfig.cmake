# Read by cpack for each generator. The Windows installer carries the programs and the service
# table; the libraries for other programs are the Debian -dev package's business.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_COMPONENTS_ALL runtime)
endif()
