# Shared build helpers: warnings, sanitizers, libraries and tests of this project.

# Warnings are errors in the project's own code. Third-party headers come in as system
# headers and are not affected.
function(qor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
                                           -Wno-missing-field-initializers)
  # Under the sanitizers g++ 12 reports false "may be used uninitialized" warnings inside the
  # standard library (<regex>, <functional>); the normal build keeps the warning.
  if(NOT QOR_SANITIZE STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()

function(qor_apply_sanitizers)
  if(QOR_SANITIZE STREQUAL "")
    return()
  endif()
  set(flags -fsanitize=${QOR_SANITIZE} -fno-omit-frame-pointer)
  if(QOR_SANITIZE MATCHES "undefined")
    list(APPEND flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${flags})
  add_link_options(${flags})
endfunction()

# qor_library(NAME SOURCES ... DEPS ...): one static library per subsystem. The include
# root is the repository, so headers are included as "binding/property.h".
function(qor_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  qor_warnings(${name})
endfunction()

# qor_test(NAME SOURCES ... DEPS ...): a GoogleTest executable registered with CTest,
# one CTest entry per test case.
function(qor_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  qor_warnings(${name})
  target_compile_definitions(${name} PRIVATE
    QOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QOR_CORPORA_DIR="${PROJECT_SOURCE_DIR}/../shared/corpora")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
                       PROPERTIES ENVIRONMENT "QOR_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
