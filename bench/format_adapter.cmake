# The stream format adapter: ns per output frame and conversion quality (THD+N, worst spurious over
# a sweep) of every rate pair it serves, on 512-frame stereo calls. Where the libsoxr or
# libsamplerate development packages are installed, the same program runs them on the same
# signals (SOXR_LQ and SOXR_MQ; SRC_SINC_FASTEST and SRC_LINEAR) and prints them beside ours.
find_path(KVX_ADAPTER_SOXR_INCLUDE_DIR soxr.h)
find_library(KVX_ADAPTER_SOXR_LIBRARY soxr)
find_path(KVX_SAMPLERATE_INCLUDE_DIR samplerate.h)
find_library(KVX_SAMPLERATE_LIBRARY samplerate)

if(TARGET dsp)
  kvx_bench(format_adapter_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/format_adapter_bench.cpp
    LIBS dsp primitives_filter primitives_vector primitives_core platform_nt)
  if(KVX_ADAPTER_SOXR_INCLUDE_DIR AND KVX_ADAPTER_SOXR_LIBRARY)
    message(STATUS "Format adapter benchmark: comparing with libsoxr (${KVX_ADAPTER_SOXR_LIBRARY})")
    target_compile_definitions(format_adapter_bench PRIVATE KVX_BENCH_SOXR=1)
    target_include_directories(format_adapter_bench PRIVATE ${KVX_ADAPTER_SOXR_INCLUDE_DIR})
    target_link_libraries(format_adapter_bench PRIVATE ${KVX_ADAPTER_SOXR_LIBRARY})
  endif()
  if(KVX_SAMPLERATE_INCLUDE_DIR AND KVX_SAMPLERATE_LIBRARY)
    message(STATUS "Format adapter benchmark: comparing with libsamplerate (${KVX_SAMPLERATE_LIBRARY})")
    target_compile_definitions(format_adapter_bench PRIVATE KVX_BENCH_SAMPLERATE=1)
    target_include_directories(format_adapter_bench PRIVATE ${KVX_SAMPLERATE_INCLUDE_DIR})
    target_link_libraries(format_adapter_bench PRIVATE ${KVX_SAMPLERATE_LIBRARY})
  endif()
endif()
