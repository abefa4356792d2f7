# The peak limiter in ns per sample on 512-frame chunks, the size the render path hands it.
if(TARGET dsp)
  kvx_bench(dsp_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/dsp_bench.cpp
    LIBS dsp primitives_filter primitives_vector primitives_core platform_nt)
endif()
