if(TARGET OrdaloServiceCore AND TARGET VirtualFrame)
  ordalo_add_fuzzer(rpc_handler SOURCES ${CMAKE_CURRENT_LIST_DIR}/rpc_handler.cpp
    LIBS OrdaloServiceCore VirtualFrame)
endif()
