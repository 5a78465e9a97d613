# Firmware images (BIRD files, personalisation, decoding) and the local store.
target_sources(updater_core PRIVATE
  updater/BirdFile.cpp
  updater/AtomicFile.cpp
  updater/KeyValueStore.cpp
  updater/UpdaterStore.cpp)
if(BUILD_TESTING)
  # The BIRD writer stays free of the test framework: simulators link it on its own.
  add_library(bird_builder STATIC tests/support/BirdBuilder.cpp)
  target_include_directories(bird_builder PUBLIC tests/support)
  target_link_libraries(bird_builder PRIVATE ZLIB::ZLIB project_options)
  target_link_libraries(test_support PUBLIC bird_builder)
  target_sources(updater_tests PRIVATE
    tests/updater/BirdFile_test.cpp
    tests/updater/KeyValueStore_test.cpp
    tests/updater/UpdaterStore_test.cpp)
endif()
if(UPDATER_BENCH AND TARGET bird_builder)
  # Run by hand; prints the load time against zlib alone and the peak memory of a load.
  add_executable(bird_load_bench bench/bird_load_bench.cpp)
  target_link_libraries(bird_load_bench PRIVATE updater_core bird_builder ZLIB::ZLIB project_options)
endif()
