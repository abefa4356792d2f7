# Vector arithmetic and reductions per kernel family and slot, beside a plain loop and a memcpy of
# the same traffic. Where the VOLK development package (libvolk2-dev) is installed, the same
# program times VOLK's kernels by name.
if(TARGET primitives_vector)
  find_path(KVX_VOLK_INCLUDE_DIR volk/volk.h)
  find_library(KVX_VOLK_LIBRARY volk)
  kvx_bench(primitives_vector_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_vector_bench.cpp
    LIBS primitives_vector primitives_core platform_nt)
  if(KVX_VOLK_INCLUDE_DIR AND KVX_VOLK_LIBRARY)
    message(STATUS "Vector benchmark: comparing with VOLK (${KVX_VOLK_LIBRARY})")
    target_compile_definitions(primitives_vector_bench PRIVATE KVX_BENCH_VOLK=1)
    target_include_directories(primitives_vector_bench PRIVATE ${KVX_VOLK_INCLUDE_DIR})
    target_link_libraries(primitives_vector_bench PRIVATE ${KVX_VOLK_LIBRARY})
  endif()
endif()
