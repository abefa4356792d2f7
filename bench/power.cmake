# Cost of the device object's check in front of every create, close and device-control request.
kvx_bench(power_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/power_bench.cpp
  LIBS tools usb topology sim adapter platform_usb platform_portcls platform_registry platform_nt)
target_compile_options(power_bench PRIVATE -fno-rtti)
