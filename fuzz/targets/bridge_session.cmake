ordalo_add_fuzzer(bridge_session SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_session.cpp
  LIBS OrdaloOSXBridgeObjects)
