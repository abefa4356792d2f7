# CPU time of the render path of a streaming endpoint per audio second.
kvx_bench(stream_render_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_render_bench.cpp
  LIBS stream usb sim dsp adapter topology platform_usb platform_portcls platform_registry primitives_core platform_nt)
# Its doubles derive from driver classes, which carry no type information.
target_compile_options(stream_render_bench PRIVATE -fno-rtti)
