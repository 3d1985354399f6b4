ordalo_add_fuzzer(rpc_transport SOURCES ${CMAKE_CURRENT_LIST_DIR}/rpc_transport.cpp LIBS VexoSource)
