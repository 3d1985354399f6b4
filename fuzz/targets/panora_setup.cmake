ordalo_add_fuzzer(panora_setup SOURCES ${CMAKE_CURRENT_LIST_DIR}/panora_setup.cpp
  LIBS PanoraCore VirtualFrame)
