# Coverage-guided fuzz targets for the parsers that take untrusted bytes (libFuzzer, so clang
# only). With UPDATER_FUZZ the whole build is instrumented for the fuzzer and built with
# AddressSanitizer and UBSan; crash inputs go to tests/data/fuzz-regressions/<target>/, which
# fuzz_regressions_test replays in every build.
if(BUILD_TESTING)
  target_sources(updater_tests PRIVATE fuzz/FuzzTargets.cpp tests/updater/fuzz_regressions_test.cpp)
  target_include_directories(updater_tests PRIVATE fuzz)
  target_compile_definitions(updater_tests PRIVATE
    FUZZ_REGRESSIONS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/data/fuzz-regressions"
    FUZZ_CORPUS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus")
endif()

if(NOT UPDATER_FUZZ)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "UPDATER_FUZZ needs clang with its libFuzzer runtime "
    "(configure with CC=clang CXX=clang++); the C++ compiler is ${CMAKE_CXX_COMPILER_ID}")
endif()
if(UPDATER_SANITIZE STREQUAL "thread")
  message(FATAL_ERROR "UPDATER_FUZZ brings AddressSanitizer, which cannot be combined with UPDATER_SANITIZE=thread")
endif()

# Every target links project_options, so the libraries under test get the coverage
# instrumentation and all executables the sanitizer runtimes.
set(_fuzz_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(project_options INTERFACE -fsanitize=fuzzer-no-link ${_fuzz_san})
target_link_options(project_options INTERFACE ${_fuzz_san})

if(NOT BUILD_TESTING)
  message(FATAL_ERROR "UPDATER_FUZZ needs BUILD_TESTING: the targets use the tests' memory stream and BIRD writer")
endif()
foreach(parser bird server_answer keyvalue packet)
  add_executable(${parser}_fuzz fuzz/${parser}_fuzz.cpp fuzz/FuzzTargets.cpp tests/support/MemoryStream.cpp)
  target_include_directories(${parser}_fuzz PRIVATE fuzz tests/support)
  target_link_libraries(${parser}_fuzz PRIVATE updater_core bird_builder ZLIB::ZLIB project_options)
  target_link_options(${parser}_fuzz PRIVATE -fsanitize=fuzzer)
endforeach()
