# Helpers shared by every folder.

# Kernel-code libraries: the driver and the primitives. No exceptions, no RTTI.
function(kvx_kernel_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# Platform, simulator and host libraries: ordinary C++.
function(kvx_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# A GoogleTest program registered with CTest, one CTest entry per test case.
# kvx_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2)
function(kvx_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kvx_test_main GTest::gtest GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES TIMEOUT 120)
endfunction()
