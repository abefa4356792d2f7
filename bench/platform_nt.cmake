# Cost of the kernel stand-in: virtual time with a 1 ms timer chain, a thread ping-pong, and an
# uncontended spin lock.
kvx_bench(platform_nt_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_nt_bench.cpp
  LIBS platform_nt)
