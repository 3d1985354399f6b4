ordalo_add_fuzzer(panora_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/panora_decode.cpp
  LIBS PanoraCore VirtualFrame)
