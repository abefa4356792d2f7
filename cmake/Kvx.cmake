# Helpers shared by every folder.

# Links with lld where it is installed (scripts/test.sh installs it): it links the test programs
# several times faster than the default linker. Without it the default linker is used.
option(KVX_LLD "Link with lld when it is installed" ON)
if(KVX_LLD)
  include(CheckLinkerFlag)
  check_linker_flag(CXX "-fuse-ld=lld" KVX_HAVE_LLD)
  if(KVX_HAVE_LLD)
    add_link_options(-fuse-ld=lld)
  endif()
endif()

# Kernel-code libraries: the driver and the primitives. No exceptions, no RTTI.
function(kvx_kernel_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# Tables made by tools/tablegen at build time land under this folder, in a sub-folder named after
# the library that compiles them. kvx_generated_sources(target file...) compiles such files (paths
# relative to the folder) into the target and orders the generator before it.
set(KVX_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
function(kvx_generated_sources target)
  foreach(file IN LISTS ARGN)
    set(path ${KVX_GENERATED_DIR}/${file})
    set_source_files_properties(${path} PROPERTIES GENERATED TRUE)
    target_sources(${target} PRIVATE ${path})
  endforeach()
  target_include_directories(${target} PUBLIC ${KVX_GENERATED_DIR})
  add_dependencies(${target} kvx_tables)
endfunction()

# Platform, simulator and host libraries: ordinary C++.
function(kvx_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# The test programs' own sources (fixtures, doubles, test bodies) are compiled at -O1: most of their
# compile time went into -O2 work on GoogleTest and fixture code that gains nothing from it. The
# libraries under test keep the build's own optimisation.
set(KVX_TEST_OPT "-O1" CACHE STRING "Optimisation of the test programs' own sources")

# A GoogleTest program registered with CTest, one CTest entry per test case; PROPERTIES are
# CTest properties of every case, e.g. LABELS large COST 1000 TIMEOUT 900 for a heavy one.
# kvx_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [PROPERTIES ...])
function(kvx_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kvx_test_main GTest::gtest GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${KVX_TEST_OPT})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES TIMEOUT 120 ${T_PROPERTIES})
endfunction()
