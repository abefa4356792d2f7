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

# The test programs' sources are compiled a few at a time as one unit (a unity build): each unit
# parses GoogleTest and the standard headers once and instantiates their templates once, which
# roughly halves the tests' compile time. Files that clash with their neighbours in one unit
# (same-named helpers in anonymous namespaces, macros) are kept apart with
# SKIP_UNITY_BUILD_INCLUSION. Configure with -DKVX_TEST_UNITY=OFF to compile every file on its
# own, e.g. to see that each one includes what it uses.
option(KVX_TEST_UNITY "Compile the test programs' sources in batches (unity build)" ON)
set(KVX_TEST_UNITY_BATCH 8 CACHE STRING "Test sources per unity unit")

# How the GoogleTest programs meet CTest.
# - One CTest per test case (the normal build): each case runs in a process of its own, so a crash
#   or a machine fault names its case and ends nothing else, and the cases spread over the cores.
# - One CTest per program (the default under the sanitizers, where starting a process costs more
#   than most cases take): the CTest is named after the program and runs all its cases in one
#   process; GoogleTest's summary at the end of its output names each failing case.
if(KVX_SANITIZE OR KVX_TSAN)
  set(KVX_TEST_PER_PROGRAM_DEFAULT ON)
else()
  set(KVX_TEST_PER_PROGRAM_DEFAULT OFF)
endif()
option(KVX_TEST_PER_PROGRAM "Register each test program as one CTest instead of one per test case"
       ${KVX_TEST_PER_PROGRAM_DEFAULT})
# A whole program's limit (seconds): it runs what would be hundreds of CTests one after the other.
set(KVX_TEST_PROGRAM_TIMEOUT 1800 CACHE STRING "CTest time-out of a test program run as one CTest")

# Heavy tests carry the `large` label (ctest -LE large leaves them out) and a high COST, so that
# CTest starts them first and the light ones fill the cores around them.
set(KVX_LARGE_PROPERTIES LABELS large COST 1000)

# A GoogleTest program registered with CTest. PROPERTIES are CTest properties of every case (per
# case) or of the program (per program), e.g. LABELS large COST 1000 TIMEOUT 900 for a heavy one.
# LARGE lists GoogleTest filter patterns of the program's heavy cases: per case they alone get the
# large properties; per program the program gets them.
# kvx_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [PROPERTIES ...] [LARGE Suite.Case Suite/*.Case/* ...])
function(kvx_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES;LARGE" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kvx_test_main GTest::gtest GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${KVX_TEST_OPT})
  if(KVX_TEST_UNITY)
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${KVX_TEST_UNITY_BATCH})
  endif()
  if(KVX_TEST_PER_PROGRAM)
    set(program_properties ${T_PROPERTIES})
    if(T_LARGE)
      list(APPEND program_properties ${KVX_LARGE_PROPERTIES})
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${program_properties} TIMEOUT ${KVX_TEST_PROGRAM_TIMEOUT})
  elseif(T_LARGE)
    list(JOIN T_LARGE ":" large)
    gtest_discover_tests(${name} TEST_FILTER "${large}" DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                         PROPERTIES TIMEOUT 600 ${T_PROPERTIES} ${KVX_LARGE_PROPERTIES})
    gtest_discover_tests(${name} TEST_FILTER "-${large}" DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                         PROPERTIES TIMEOUT 120 ${T_PROPERTIES})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES TIMEOUT 120 ${T_PROPERTIES})
  endif()
endfunction()
