ordalo_add_fuzzer(config_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_file.cpp LIBS VexoSource)
