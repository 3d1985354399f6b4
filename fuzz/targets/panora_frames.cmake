ordalo_add_fuzzer(panora_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/panora_frames.cpp
  LIBS PanoraCore VirtualFrame)
# The seed corpora of the frame-link and frame-library targets come from the virtual frame:
# build-x/bin/ordalo-fuzz-seeds fuzz/corpus rewrites them (normal and sanitizer builds).
if(NOT ORDALO_FUZZ AND TARGET VirtualFrame)
  add_executable(ordalo-fuzz-seeds ${CMAKE_CURRENT_LIST_DIR}/../seeds/FrameSeeds.cpp)
  target_link_libraries(ordalo-fuzz-seeds PRIVATE VirtualFrame PanoraCore)
endif()
