# IIR filtering in ns per sample, beside a plain float transposed-direct-form loop. Where the
# liquid-dsp development package (libliquid-dev) is installed, its iirfilt is timed on the same
# filters in the same run; without it the program builds and times ours and the plain loop.
if(TARGET primitives_filter)
  find_path(KVX_LIQUID_INCLUDE_DIR liquid/liquid.h)
  find_library(KVX_LIQUID_LIBRARY liquid)
  kvx_bench(primitives_iir_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_iir_bench.cpp
    LIBS primitives_filter primitives_fft primitives_core platform_nt)
  if(KVX_LIQUID_INCLUDE_DIR AND KVX_LIQUID_LIBRARY)
    message(STATUS "IIR benchmark: comparing with liquid-dsp (${KVX_LIQUID_LIBRARY})")
    target_compile_definitions(primitives_iir_bench PRIVATE KVX_BENCH_LIQUID=1)
    target_include_directories(primitives_iir_bench PRIVATE ${KVX_LIQUID_INCLUDE_DIR})
    target_link_libraries(primitives_iir_bench PRIVATE ${KVX_LIQUID_LIBRARY})
  endif()
endif()
