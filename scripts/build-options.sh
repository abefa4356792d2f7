# The options every script configures build/ with, so that the test run and the command-line
# program share one build and never compile the tree twice. Sourced by test.sh and kvx.sh.
#
# Every build keeps line tables only (-g1): reports and backtraces still name files and lines,
# and the build is much lighter than with full debug information (configure a build directory of
# your own with -g for a debugger session).
kvx_build_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
                   "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
# A compiler cache, where one is installed, is used; CI has none and builds from scratch.
if command -v ccache >/dev/null 2>&1; then
  kvx_build_options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
