# Cost of the I/O manager with its checks: an IRP sent through a two-device stack and completed.
kvx_bench(platform_io_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_io_bench.cpp
  LIBS platform_io platform_nt)
