ordalo_add_fuzzer(hid_descriptor SOURCES ${CMAKE_CURRENT_LIST_DIR}/hid_descriptor.cpp LIBS VexoSource)
