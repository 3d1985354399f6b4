# ordalo_add_gtest(<name> LABEL <area> SOURCES <files...> [LIBS <libs...>] [LOCK <resource>]
#                  [TIMEOUT <s>] [NETNS])
# One GoogleTest program registered as one CTest test carrying its area label. NETNS runs it in a
# private network namespace with its own loopback, so tests that start the real service (fixed
# ports) run side by side without clashing.
find_package(GTest QUIET)

function(ordalo_add_gtest name)
  cmake_parse_arguments(T "NETNS" "LABEL;LOCK;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    message(FATAL_ERROR "test ${name} needs a LABEL")
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(T_NETNS)
    add_test(NAME ${name} COMMAND unshare -n sh -c "ip link set lo up && exec \"$0\"" $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
  if(T_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ${T_LOCK})
  endif()
endfunction()
