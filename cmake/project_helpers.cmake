# add_subdirectories_with_lists(): adds every direct subdirectory that has a
# CMakeLists.txt, in sorted order, so a new area needs no edit elsewhere.
function(add_subdirectories_with_lists)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT children)
  foreach(child ${children})
    get_filename_component(dir ${child} DIRECTORY)
    add_subdirectory(${dir})
  endforeach()
endfunction()

# add_gtest(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [OWN_MAIN]): one test executable,
# its cases registered with ctest individually through gtest_discover_tests. Every one links
# test_support (tests/support), which turns broken stand-in rules into test failures.
include(GoogleTest)

# Test code (everything under tests/) is compiled without optimisation: it is
# most of the project's compile time, and the product code it drives keeps
# its own flags in its own libraries. Inline and template code that a test
# file instantiates from a product header is emitted there as a weak copy,
# and the linker keeps the first one it sees, which is the test object's:
# that copy differs only in speed, because the project forbids contraction
# and fast-math (IEEE results do not depend on the optimisation level on
# x86-64) and the CPU builds of the primitives keep their helpers internal.
set(TEST_COMPILE_OPTIONS -O0 CACHE STRING "Extra compile options of the test code (tests/)")

# test_keeps_build_optimisation(target...): test code that runs under an
# emulated processor (tools/run_cpu_models), where every instruction of the
# test itself costs many, keeps the build type's optimisation. Such a target
# cannot reuse the shared precompiled header, which was made without it.
function(test_keeps_build_optimisation)
  foreach(target ${ARGN})
    get_target_property(options ${target} COMPILE_OPTIONS)
    if(options)
      list(REMOVE_ITEM options ${TEST_COMPILE_OPTIONS})
      set_property(TARGET ${target} PROPERTY COMPILE_OPTIONS ${options})
    endif()
    set_property(TARGET ${target} PROPERTY DISABLE_PRECOMPILE_HEADERS ON)
  endforeach()
endfunction()

# Every test program shares one precompiled header of GoogleTest and
# GoogleMock: parsing them is a third of a typical test file's compile time.
# GCC only (a clang PCH refuses any flag difference); a file the header does
# not fit is simply compiled without it.
option(TEST_PCH "Precompile the GoogleTest headers for the test programs" ON)
if(TEST_PCH AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(_pch_source ${CMAKE_BINARY_DIR}/test_pch_host.cpp)
  file(WRITE ${_pch_source} "int main() { return 0; }\n")
  add_executable(test_pch_host ${_pch_source})
  target_link_libraries(test_pch_host PRIVATE GTest::gtest GTest::gmock)
  target_precompile_headers(test_pch_host PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  # The header is reused only by code compiled with the same options.
  target_compile_options(test_pch_host PRIVATE ${TEST_COMPILE_OPTIONS})
endif()

function(add_gtest name)
  cmake_parse_arguments(T "OWN_MAIN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(TARGET test_pch_host)
    target_precompile_headers(${name} REUSE_FROM test_pch_host)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gmock Threads::Threads)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()

# Compile options of the driver's own code (adapter, topology, stream, dsp,
# common, primitives), added at the top of each driver directory before its
# targets. Kernel code runs without C++ exceptions; the extra warnings catch
# shadowed names, casts to a stricter alignment and floats silently widened
# to double on the audio path. RTTI stays on: test doubles derive from driver
# classes and need their typeinfo, and the recording model's dynamic_cast
# reads the stream classes'.
set(DRIVER_COMPILE_OPTIONS -fno-exceptions -Wshadow -Wcast-align -Wdouble-promotion)
