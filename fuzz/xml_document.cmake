if(TARGET kt_xml)
  kt_add_fuzzer(xml_document SOURCES xml_document.cpp DEPS kt_xml)
endif()
