# Cost of the executive pool: allocate/free pairs of typical driver sizes (each free passes the
# guard check and the quarantine), and a lookaside list round trip.
kvx_bench(platform_pool_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_pool_bench.cpp
  LIBS platform_nt)
