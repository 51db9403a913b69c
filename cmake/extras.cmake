# Vector sin/cos for the CPU propagation: SLEEF, with one unit per instruction set.
# Only those units get instruction-set flags; the rest of the library stays on the
# x86-64 baseline, and the kernel is chosen at run time.
find_path(SLEEF_INCLUDE_DIR sleef.h REQUIRED)
find_library(SLEEF_LIBRARY NAMES sleef REQUIRED)
target_include_directories(fyrnol_core PRIVATE ${SLEEF_INCLUDE_DIR})
target_link_libraries(fyrnol_core PUBLIC ${SLEEF_LIBRARY})

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/wpm_simd_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/wpm_simd_avx512.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx512f")
endif()
