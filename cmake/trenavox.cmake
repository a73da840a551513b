# Helpers shared by the subsystem CMakeLists: unit tests, fuzz targets, benchmarks.

# A 32-bit build runs its programs natively where the kernel can execute i386 code, and under
# QEMU's user-mode emulator where it cannot ("Exec format error"). TRENAVOX_I386_RUNNER forces
# a runner. The choice is written to i386-runner.txt for the test summary.
if(TRENAVOX_M32 AND NOT TRENAVOX_FUZZ)
  set(TRENAVOX_I386_RUNNER "" CACHE STRING "Program that runs i386 test programs (empty: probe)")
  set(probe ${CMAKE_BINARY_DIR}/i386-probe)
  file(WRITE ${probe}.c "int main(void) { return 0; }\n")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${probe}.c -o ${probe} RESULT_VARIABLE built
                  OUTPUT_QUIET ERROR_QUIET)
  set(runner "${TRENAVOX_I386_RUNNER}")
  if(NOT runner)
    execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
    if(NOT built EQUAL 0 OR NOT ran EQUAL 0)
      find_program(qemu_i386 qemu-i386 REQUIRED)
      set(runner ${qemu_i386})
    endif()
  endif()
  if(runner)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${runner})
    file(WRITE ${CMAKE_BINARY_DIR}/i386-runner.txt "under ${runner}\n")
  else()
    file(WRITE ${CMAKE_BINARY_DIR}/i386-runner.txt "natively\n")
  endif()
endif()
# The prefix that runs a built program from a test's command line ("" when it runs directly).
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(TRENAVOX_RUN_PREFIX "${CMAKE_CROSSCOMPILING_EMULATOR} ")
else()
  set(TRENAVOX_RUN_PREFIX "")
endif()

# Static linking of an executable when TRENAVOX_STATIC is on.
function(trenavox_static_link target)
  if(TRENAVOX_STATIC)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# trenavox_unit_test(NAME SOURCES a.cpp b.cpp LIBS x y [LABELS l])
# One GoogleTest executable; every test in it is registered with CTest.
function(trenavox_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(TRENAVOX_FUZZ)
    return()
  endif()
  if(NOT TARGET GTest::gtest)
    find_package(GTest REQUIRED)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_options(${name} PRIVATE -fexceptions)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  include(GoogleTest)
  # Listed when the tests run, not when they are built: a build need not be able to run them.
  gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60
                       DISCOVERY_MODE PRE_TEST)
endfunction()

# trenavox_fuzz_target(NAME SOURCES a.cpp LIBS x y): a libFuzzer program (clang, TRENAVOX_FUZZ=ON),
# and in every other build a smoke test that replays the seed corpus once.
function(trenavox_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(TRENAVOX_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    if(F_CORPUS)
      add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
      set_tests_properties(${name}_corpus PROPERTIES LABELS unit)
    endif()
  endif()
endfunction()

# trenavox_layer_library(NAME [EXCLUDE file...] [LINKS lib...]): a static library of every
# .cpp/.S of the folder except the named files, so new files need no CMake edit. LINKS names the
# libraries of its own and lower layers that it uses; nothing else is reachable from it.
function(trenavox_layer_library name)
  cmake_parse_arguments(L "" "" "EXCLUDE;LINKS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.S)
  foreach(excluded ${L_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${L_LINKS})
endfunction()
