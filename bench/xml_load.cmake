# LoadFile in a new process, with the process's peak memory, beside pugixml load_file.
if(TARGET kt_xml)
  find_package(pugixml QUIET)
  if(pugixml_FOUND)
    add_executable(xml_load ${CMAKE_CURRENT_SOURCE_DIR}/xml_load.cpp)
    target_link_libraries(xml_load PRIVATE kt_xml kt_platform pugixml::pugixml
                          benchmark::benchmark)
  else()
    message(STATUS "xml_load benchmark left out: pugixml not found")
  endif()
endif()
