# The software effects, as the share of one core that one real-time stream takes. Where the
# single-precision FFTW development package is installed, the same program times FFTW doing the
# same work (overlap-save of the CTC filters, the transforms of a response load) and reports the
# ratio ours/theirs; without it the peers are left out.
if(TARGET dsp)
  kvx_bench(effects_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_bench.cpp
    LIBS dsp primitives_filter primitives_vector primitives_core platform_nt)
endif()
