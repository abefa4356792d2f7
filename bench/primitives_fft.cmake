# Real FFT and packed-spectrum product timings. Where the single-precision FFTW or KissFFT
# development packages are installed, the same program times them on the same sizes and reports
# the ratio ours/theirs; without them it builds and times ours alone.
find_path(KVX_FFTW3_INCLUDE_DIR fftw3.h)
find_library(KVX_FFTW3F_LIBRARY fftw3f)
find_path(KVX_KISSFFT_INCLUDE_DIR kiss_fftr.h PATH_SUFFIXES kissfft)
find_library(KVX_KISSFFT_LIBRARY kissfft-float)

kvx_bench(primitives_fft_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_fft_bench.cpp
  LIBS primitives_fft primitives_core platform_nt)

if(KVX_FFTW3_INCLUDE_DIR AND KVX_FFTW3F_LIBRARY)
  message(STATUS "FFT benchmark: comparing with FFTW (${KVX_FFTW3F_LIBRARY})")
  target_compile_definitions(primitives_fft_bench PRIVATE KVX_BENCH_FFTW=1)
  target_include_directories(primitives_fft_bench PRIVATE ${KVX_FFTW3_INCLUDE_DIR})
  target_link_libraries(primitives_fft_bench PRIVATE ${KVX_FFTW3F_LIBRARY})
endif()
if(KVX_KISSFFT_INCLUDE_DIR AND KVX_KISSFFT_LIBRARY)
  message(STATUS "FFT benchmark: comparing with KissFFT (${KVX_KISSFFT_LIBRARY})")
  target_compile_definitions(primitives_fft_bench PRIVATE KVX_BENCH_KISSFFT=1 kiss_fft_scalar=float)
  target_include_directories(primitives_fft_bench PRIVATE ${KVX_KISSFFT_INCLUDE_DIR})
  target_link_libraries(primitives_fft_bench PRIVATE ${KVX_KISSFFT_LIBRARY})
endif()
