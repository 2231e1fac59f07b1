# kestrel_library(NAME DEPS dep...): one static library per subsystem folder.
# Every .cpp in the folder belongs to it; headers are included as "name/header.h"
# relative to src/. A folder without sources yet gives an interface library.
function(kestrel_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(kestrel_${name} STATIC ${sources})
    target_include_directories(kestrel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(kestrel_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(kestrel_${name} INTERFACE)
    target_include_directories(kestrel_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(kestrel_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# kestrel_test(NAME DEPS dep...): one GoogleTest executable per test folder.
function(kestrel_test name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} kestrel_testsupport GTest::gtest GTest::gtest_main)
  target_compile_definitions(test_${name} PRIVATE
    KESTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KESTREL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND test_${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(KESTREL_SANITIZE STREQUAL "thread")
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
  endif()
endfunction()
