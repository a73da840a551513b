# Helpers shared by the subsystem CMakeLists: unit tests, fuzz targets, benchmarks.

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
  gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
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

# trenavox_subsystem_library(NAME DIR [EXCLUDE file...]): a static library of every .cpp/.S of
# the folder except the named files, so new files need no CMake edit.
function(trenavox_subsystem_library name)
  cmake_parse_arguments(L "" "" "EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.S)
  foreach(excluded ${L_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src
                                            ${PROJECT_SOURCE_DIR}/src/libinstall/include)
endfunction()

# Every installer library, in one rescanned group so that the order of the libraries and any
# back-references between subsystems do not matter to the linker.
set(TRENAVOX_ALL_LIBS
    "$<LINK_GROUP:RESCAN,trenavox_core,trenavox_packages,trenavox_netinstall,trenavox_disk,trenavox_tui,trenavox_signals,trenavox_libinstall,trenavox_platform>"
    ZLIB::ZLIB)
