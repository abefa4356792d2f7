# The table-driven power against the library's pow, per level-to-gain conversion.
if(TARGET dsp)
  kvx_bench(tablepow_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tablepow_bench.cpp
    LIBS dsp)
endif()
