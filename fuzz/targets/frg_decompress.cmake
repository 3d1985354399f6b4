ordalo_add_fuzzer(frg_decompress SOURCES ${CMAKE_CURRENT_LIST_DIR}/frg_decompress.cpp LIBS PanoraCore)
