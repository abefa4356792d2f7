# The software effects, as the share of one core that one real-time stream takes. Where the
# single-precision FFTW development package is installed, the same program times FFTW doing the
# same work (an overlap-save of the CTC filters, the transforms of a response load) and reports
# the ratio ours/theirs; without it the peers are left out.
find_path(KVX_FFTW3_INCLUDE_DIR fftw3.h)
find_library(KVX_FFTW3F_LIBRARY fftw3f)

if(TARGET dsp AND TARGET globaltopo_jqz)
  kvx_bench(effects_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/effects_plots.cpp
            ${CMAKE_CURRENT_LIST_DIR}/effects_engine_bench.cpp
    LIBS topology dsp globaltopo_jqz primitives_filter primitives_fft primitives_vector primitives_core platform_nt)
  # It derives from a driver class, which carries no type information.
  # The peers' loops written here are vectorised as a library would be.
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/effects_engine_bench.cpp PROPERTIES COMPILE_OPTIONS "-fno-rtti;-O3")
  if(KVX_FFTW3_INCLUDE_DIR AND KVX_FFTW3F_LIBRARY)
    message(STATUS "Effects benchmark: comparing with FFTW (${KVX_FFTW3F_LIBRARY})")
    target_compile_definitions(effects_bench PRIVATE KVX_BENCH_FFTW=1)
    target_include_directories(effects_bench PRIVATE ${KVX_FFTW3_INCLUDE_DIR})
    target_link_libraries(effects_bench PRIVATE ${KVX_FFTW3F_LIBRARY})
  endif()
endif()
# The engine's resampler beside libsoxr, where it is installed.
find_path(KVX_EFFECTS_SOXR_INCLUDE_DIR soxr.h)
find_library(KVX_EFFECTS_SOXR_LIBRARY soxr)
if(TARGET effects_bench AND KVX_EFFECTS_SOXR_INCLUDE_DIR AND KVX_EFFECTS_SOXR_LIBRARY)
  message(STATUS "Effects benchmark: comparing with libsoxr (${KVX_EFFECTS_SOXR_LIBRARY})")
  target_compile_definitions(effects_bench PRIVATE KVX_BENCH_SOXR=1)
  target_include_directories(effects_bench PRIVATE ${KVX_EFFECTS_SOXR_INCLUDE_DIR})
  target_link_libraries(effects_bench PRIVATE ${KVX_EFFECTS_SOXR_LIBRARY})
endif()
