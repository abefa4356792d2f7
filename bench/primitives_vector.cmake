# Vector arithmetic, reductions and elementary math, each beside the plain loop it replaces.
if(TARGET primitives_vector)
  kvx_bench(primitives_vector_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_vector_bench.cpp
    LIBS primitives_math primitives_vector primitives_core platform_nt)
endif()
