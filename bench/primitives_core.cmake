# Sample conversions beside a memcpy of the same output bytes, and the power function beside a
# std::pow loop, measured in the same run.
kvx_bench(primitives_core_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/primitives_core_bench.cpp
  LIBS primitives_core platform_nt)
