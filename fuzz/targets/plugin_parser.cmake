ordalo_add_fuzzer(plugin_parser SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_parser.cpp
  LIBS OrdaloOSXPluginObjects OrdaloOSXMapper)
