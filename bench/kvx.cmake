# The kvx program's own speed and memory: plays of 60 s files and an hour's recording, each with
# --fast, as the program runs (a child process per run).
find_package(PkgConfig REQUIRED)
pkg_check_modules(KVX_BENCH_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
kvx_bench(kvx_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kvx_bench.cpp
  LIBS PkgConfig::KVX_BENCH_SNDFILE)
target_compile_definitions(kvx_bench PRIVATE KVX_PROGRAM="$<TARGET_FILE:kvx>"
                                             KVX_PROFILE_DIR="${PROJECT_SOURCE_DIR}/sim/profiles")
add_dependencies(kvx_bench kvx)
