# Build helpers shared by every folder of the project.
include_guard(GLOBAL)

# gtest_discover_tests finds its helper script through a variable that
# include(GoogleTest) sets in the including scope: include it here, at the top,
# so that every folder's tests can be discovered.
include(GoogleTest)

if(QV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND QV_SANITIZE)
  set(QV_LIBFUZZER ON)
else()
  set(QV_LIBFUZZER OFF)
endif()

if(NOT QV_READELF)
  set(QV_READELF readelf)
endif()

# Flags of code that runs on the device: no exceptions, no RTTI, no thread-safe
# statics (they would pull in libstdc++'s guard functions), and a link that keeps
# only the libraries that are really used.
set(QV_DEVICE_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -Wall -Wextra -Wshadow -Wformat=2)

function(qv_device_code target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${QV_DEVICE_CXX_FLAGS}>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)
  if(QV_HOST_BUILD)
    target_compile_definitions(${target} PRIVATE QV_HOST_BUILD=1)
  endif()
endfunction()

# qv_device_library(NAME [STATIC|SHARED|OBJECT] SOURCES ... [LIBS ...])
function(qv_device_library name kind)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} ${kind} ${A_SOURCES})
  qv_device_code(${name})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
  if(NOT kind STREQUAL "OBJECT")
    target_link_options(${name} PRIVATE -Wl,--as-needed)
  endif()
endfunction()

# qv_device_program(NAME SOURCES ... [LIBS ...] [COMPONENT C]): a program that
# ships on the device. It is registered so that the dependency check and the size
# report see it, and a device build installs it in component C: "programs" (the
# default, the system's own) or "platform" (a stand-in for a part that the
# vendor's platform brings).
function(qv_device_program name)
  cmake_parse_arguments(A "" "COMPONENT" "SOURCES;LIBS" ${ARGN})
  if(NOT A_COMPONENT)
    set(A_COMPONENT programs)
  endif()
  add_executable(${name} ${A_SOURCES})
  qv_device_code(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_link_options(${name} PRIVATE -Wl,--as-needed)
  set_property(GLOBAL APPEND PROPERTY QV_DEVICE_PROGRAMS ${name})
  if(NOT QV_HOST_BUILD)
    install(TARGETS ${name} RUNTIME DESTINATION bin COMPONENT ${A_COMPONENT})
  endif()
endfunction()

# The environment of a test that runs real binaries: the project's binaries and the
# platform stand-ins come first on PATH.
set(QV_TEST_ENV
  "PATH=${CMAKE_BINARY_DIR}/bin:$ENV{PATH}"
  "QV_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
  "QV_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
# gtest_discover_tests hands its properties on once more: escape the separators.
string(REPLACE ";" "\\;" QV_TEST_ENV_ESCAPED "${QV_TEST_ENV}")

# qv_unit_test(NAME SOURCES ... [LIBS ...]): GoogleTest unit tests; they run in
# every build with QV_UNIT_TESTS, under qemu in the device build.
function(qv_unit_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(QV_UNIT_TESTS)
    add_executable(${name} ${A_SOURCES})
  else()
    # A target that is never built, so that the folders may still set its options.
    add_executable(${name} EXCLUDE_FROM_ALL ${A_SOURCES})
  endif()
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest_main)
  if(NOT QV_UNIT_TESTS)
    return()
  endif()
  if(QV_HOST_BUILD)
    target_compile_definitions(${name} PRIVATE QV_HOST_BUILD=1)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit ENVIRONMENT "${QV_TEST_ENV_ESCAPED}")
endfunction()

# qv_e2e_test(NAME SOURCES ... [LIBS ...]): end-to-end tests that run the real
# programs on a simulated device root. Host builds only: the device build has no
# device root to resolve paths under.
function(qv_e2e_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT QV_HOST_BUILD)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} qv_testing GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE QV_HOST_BUILD=1)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS e2e ENVIRONMENT "${QV_TEST_ENV_ESCAPED}")
endfunction()

# qv_preload_shim(NAME SOURCES ...): a library that end-to-end tests preload
# (LD_PRELOAD) into a real program to see what it hands to the C library. Host
# builds only, never sanitized, so that it loads beside any build of a program.
function(qv_preload_shim name)
  cmake_parse_arguments(A "" "" "SOURCES" ${ARGN})
  if(NOT QV_HOST_BUILD)
    return()
  endif()
  add_library(${name} SHARED ${A_SOURCES})
  target_compile_options(${name} PRIVATE -fno-sanitize=all)
  target_link_options(${name} PRIVATE -fno-sanitize=all)
  target_link_libraries(${name} PRIVATE dl)
endfunction()

# qv_fuzz_target(NAME SOURCES ... [LIBS ...] [SECONDS n]): a LLVMFuzzerTestOneInput
# target. Under clang with the sanitizers it is a libFuzzer binary run for a few
# seconds; elsewhere (gcc, the device build) a standalone driver feeds it a fixed
# number of pseudo-random inputs.
function(qv_fuzz_target name)
  cmake_parse_arguments(A "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT A_SECONDS)
    set(A_SECONDS 10)
  endif()
  if(QV_LIBFUZZER)
    add_executable(${name} ${A_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${A_LIBS})
    add_test(NAME ${name} COMMAND ${name} -max_total_time=${A_SECONDS} -rss_limit_mb=1024 -print_final_stats=1)
  elseif(NOT QV_UNIT_TESTS)
    # The driver needs the C++ library, as the unit tests do.
    add_executable(${name} EXCLUDE_FROM_ALL ${A_SOURCES} ${CMAKE_SOURCE_DIR}/testing/fuzz_driver.cpp)
    target_link_libraries(${name} PRIVATE ${A_LIBS})
    return()
  else()
    add_executable(${name} ${A_SOURCES} ${CMAKE_SOURCE_DIR}/testing/fuzz_driver.cpp)
    target_link_libraries(${name} PRIVATE ${A_LIBS})
    add_test(NAME ${name} COMMAND ${name} 20000)
  endif()
  if(QV_HOST_BUILD)
    target_compile_definitions(${name} PRIVATE QV_HOST_BUILD=1)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS fuzz ENVIRONMENT "${QV_TEST_ENV}")
endfunction()
