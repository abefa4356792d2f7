# FIR, multi-rate FIR and one-sample FIR timings. Where the single-precision FFTW or libsoxr
# development packages are installed, the same program times an FFTW overlap-save filter and a
# libsoxr resampler on the same work and prints the ratios; without them it builds and times ours
# beside the plain loops alone.
find_path(KVX_FIR_FFTW3_INCLUDE_DIR fftw3.h)
find_library(KVX_FIR_FFTW3F_LIBRARY fftw3f)
find_path(KVX_SOXR_INCLUDE_DIR soxr.h)
find_library(KVX_SOXR_LIBRARY soxr)

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
