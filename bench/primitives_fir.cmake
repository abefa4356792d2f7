# FIR, multi-rate FIR and one-sample FIR timings in every dispatch slot. Where the single-precision
# FFTW, libsoxr or liquid-dsp development packages are installed, the same program times an FFTW
# overlap-save filter, a libsoxr resampler and liquid-dsp's FIR filter, interpolator and
# decimator on the same work and prints the ratios; without them it times ours beside the plain
# loops alone.
find_path(KVX_FIR_FFTW3_INCLUDE_DIR fftw3.h)
find_library(KVX_FIR_FFTW3F_LIBRARY fftw3f)
find_path(KVX_SOXR_INCLUDE_DIR soxr.h)
find_library(KVX_SOXR_LIBRARY soxr)
find_path(KVX_FIR_LIQUID_INCLUDE_DIR liquid/liquid.h)
find_library(KVX_FIR_LIQUID_LIBRARY liquid)

kvx_bench(primitives_fir_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_fir_bench.cpp
  LIBS primitives_filter primitives_fft primitives_core platform_nt)

if(KVX_FIR_FFTW3_INCLUDE_DIR AND KVX_FIR_FFTW3F_LIBRARY)
  message(STATUS "FIR benchmark: comparing with FFTW overlap-save (${KVX_FIR_FFTW3F_LIBRARY})")
  target_compile_definitions(primitives_fir_bench PRIVATE KVX_BENCH_FFTW=1)
  target_include_directories(primitives_fir_bench PRIVATE ${KVX_FIR_FFTW3_INCLUDE_DIR})
  target_link_libraries(primitives_fir_bench PRIVATE ${KVX_FIR_FFTW3F_LIBRARY})
endif()
if(KVX_SOXR_INCLUDE_DIR AND KVX_SOXR_LIBRARY)
  message(STATUS "FIR benchmark: comparing with libsoxr (${KVX_SOXR_LIBRARY})")
  target_compile_definitions(primitives_fir_bench PRIVATE KVX_BENCH_SOXR=1)
  target_include_directories(primitives_fir_bench PRIVATE ${KVX_SOXR_INCLUDE_DIR})
  target_link_libraries(primitives_fir_bench PRIVATE ${KVX_SOXR_LIBRARY})
endif()
if(KVX_FIR_LIQUID_INCLUDE_DIR AND KVX_FIR_LIQUID_LIBRARY)
  message(STATUS "FIR benchmark: comparing with liquid-dsp (${KVX_FIR_LIQUID_LIBRARY})")
  target_compile_definitions(primitives_fir_bench PRIVATE KVX_BENCH_LIQUID=1)
  target_include_directories(primitives_fir_bench PRIVATE ${KVX_FIR_LIQUID_INCLUDE_DIR})
  target_link_libraries(primitives_fir_bench PRIVATE ${KVX_FIR_LIQUID_LIBRARY})
endif()
