ordalo_add_fuzzer(tcp_text_receive SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_text_receive.cpp
  LIBS VexoSource)
