ordalo_add_fuzzer(hid_framing SOURCES ${CMAKE_CURRENT_LIST_DIR}/hid_framing.cpp LIBS VexoSource)
