# The ASIO path on the looped ASIO headset, in-process on virtual time: the round trip an ASIO
# host measures, USB frames from ring fill to packet, and the CPU of the ring callbacks.
kvx_bench(asio_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/asio_bench.cpp
  LIBS tools adapter_driver asio host sim platform_usb platform_portcls platform_io platform_nt)
