# Build helpers shared by every component.

# Adds each folder matching GLOB (relative to the project root) that holds a
# CMakeLists.txt, in sorted order.
function(tarvex_add_components glob)
  file(GLOB dirs LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/${glob})
  list(SORT dirs)
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# Includes are spelled from src/, e.g. #include "base/CThread.h".
set(TARVEX_SRC_DIR ${PROJECT_SOURCE_DIR}/src CACHE INTERNAL "")
set(TARVEX_TEST_DATA_DIR ${PROJECT_SOURCE_DIR}/tests/data CACHE INTERNAL "")
set(TARVEX_LSAN_SUPP ${PROJECT_SOURCE_DIR}/cmake/lsan.supp CACHE INTERNAL "")

# tarvex_library(NAME [SHARED] SOURCES ... [LIBS ...])
function(tarvex_library name)
  cmake_parse_arguments(A "SHARED" "" "SOURCES;LIBS" ${ARGN})
  if(A_SHARED)
    add_library(${name} SHARED ${A_SOURCES})
  else()
    add_library(${name} STATIC ${A_SOURCES})
  endif()
  target_include_directories(${name} PUBLIC ${TARVEX_SRC_DIR})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

# tarvex_gtest(NAME SOURCES ... [LIBS ...] [ENV k=v ...] [LABELS ...] [TIMEOUT s])
# Every test runs with the offscreen Qt platform, the test data folder in
# TARVEX_TEST_DATA and the leak suppressions for third-party libraries.
find_package(GTest REQUIRED)
function(tarvex_gtest name)
  # PARTS: gtest filters, each run as a test of its own (NAME:FILTER), so that
  # ctest can run the parts of a long binary side by side.
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS;PARTS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${TARVEX_SRC_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    TARVEX_TEST_DATA="${TARVEX_TEST_DATA_DIR}"
    TARVEX_BINARY_DIR="${PROJECT_BINARY_DIR}"
    TARVEX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set(tests)
  if(A_PARTS)
    foreach(part ${A_PARTS})
      add_test(NAME ${name}:${part} COMMAND ${name} --gtest_filter=${part})
      list(APPEND tests ${name}:${part})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name})
    set(tests ${name})
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${tests} PROPERTIES
    TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TARVEX_TEST_DATA=${TARVEX_TEST_DATA_DIR};LSAN_OPTIONS=suppressions=${TARVEX_LSAN_SUPP}:print_suppressions=0;ASAN_OPTIONS=halt_on_error=1:detect_stack_use_after_return=0;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;${A_ENV}")
  # Each test carries its layer's label, the first folder under tests/
  # (ctest -L sip runs the SIP layer's tests alone).
  file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}/tests" "${CMAKE_CURRENT_SOURCE_DIR}")
  string(REGEX REPLACE "/.*" "" layer "${rel}")
  set_property(TEST ${tests} APPEND PROPERTY LABELS ${layer} ${A_LABELS})
  foreach(entry ${TARVEX_TEST_COSTS})
    if(entry MATCHES "^${name}=([0-9]+)$")
      set_tests_properties(${tests} PROPERTIES COST ${CMAKE_MATCH_1})
    endif()
  endforeach()
endfunction()

find_package(Threads REQUIRED)
