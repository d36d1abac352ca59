# dz_add_test(NAME SOURCES a.cc b.cc LIBS dz_core ...): one GoogleTest binary registered with ctest.
function(dz_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  # Tests that talk to the shared test servers run one at a time; the rest run in parallel.
  if(DZ_TEST_RESOURCE_LOCK)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600 RESOURCE_LOCK ${DZ_TEST_RESOURCE_LOCK})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
  endif()
endfunction()

# dz_add_bench(NAME SOURCES a.cc LIBS dz_core ...): one Google Benchmark binary, run by hand.
function(dz_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()

# dz_add_layer(NAME SOURCES ... LIBS ...): a layer's static library; headers are included as "layer/x.h".
function(dz_add_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(${name} PUBLIC ${L_LIBS})
endfunction()
