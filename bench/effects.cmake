# The software effects, as the share of one core that one real-time stream takes. Where the
# single-precision FFTW development package is installed, the same program times FFTW doing the
# same work (an overlap-save of the CTC filters, the transforms of a response load) and reports
# the ratio ours/theirs; without it the peers are left out.
find_path(KVX_FFTW3_INCLUDE_DIR fftw3.h)
find_library(KVX_FFTW3F_LIBRARY fftw3f)

if(TARGET dsp AND TARGET globaltopo_jqz)
  kvx_bench(effects_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_bench.cpp
    LIBS dsp globaltopo_jqz primitives_filter primitives_fft primitives_vector primitives_core platform_nt)
  if(KVX_FFTW3_INCLUDE_DIR AND KVX_FFTW3F_LIBRARY)
    message(STATUS "Effects benchmark: comparing with FFTW (${KVX_FFTW3F_LIBRARY})")
    target_compile_definitions(effects_bench PRIVATE KVX_BENCH_FFTW=1)
    target_include_directories(effects_bench PRIVATE ${KVX_FFTW3_INCLUDE_DIR})
    target_link_libraries(effects_bench PRIVATE ${KVX_FFTW3F_LIBRARY})
  endif()
endif()
