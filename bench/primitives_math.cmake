# Exponential, natural logarithm and square root: slot 0 and the processor-specific slots beside
# glibc's libm loops, its vector library (libmvec, part of glibc) and, when libsleef-dev is
# installed, SLEEF's four-lane SSE4 forms.
if(TARGET primitives_math)
  find_path(KVX_SLEEF_INCLUDE_DIR sleef.h PATH_SUFFIXES x86_64-linux-gnu)
  find_library(KVX_SLEEF_LIBRARY sleef)
  find_library(KVX_MVEC_LIBRARY mvec)
  kvx_bench(primitives_math_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_math_bench.cpp
    LIBS primitives_math primitives_vector primitives_core platform_nt m)
  if(KVX_MVEC_LIBRARY)
    target_compile_definitions(primitives_math_bench PRIVATE KVX_BENCH_MVEC=1)
    target_link_libraries(primitives_math_bench PRIVATE ${KVX_MVEC_LIBRARY})
  endif()
  if(KVX_SLEEF_INCLUDE_DIR AND KVX_SLEEF_LIBRARY)
    message(STATUS "Math benchmark: comparing with SLEEF (${KVX_SLEEF_LIBRARY})")
    target_compile_definitions(primitives_math_bench PRIVATE KVX_BENCH_SLEEF=1)
    target_include_directories(primitives_math_bench PRIVATE ${KVX_SLEEF_INCLUDE_DIR})
    target_link_libraries(primitives_math_bench PRIVATE ${KVX_SLEEF_LIBRARY})
  endif()
endif()
