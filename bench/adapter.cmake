# Cost of the stream engine's in-place processing path on transfer-sized buffers.
kvx_bench(adapter_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/adapter_bench.cpp
  LIBS adapter primitives_core platform_nt)
target_compile_options(adapter_bench PRIVATE -fno-rtti)
