# Command line, console display, debug log, and the directory helpers that resolve the store.
target_sources(updater_core PRIVATE
  updater/Log.cpp
  updater/UpdaterDisplayInterface.cpp
  updater/aDirectory.cpp
  updater/path.cpp)
if(BUILD_TESTING)
  target_sources(test_support PRIVATE tests/support/TempDir.cpp)
  target_sources(updater_tests PRIVATE
    tests/updater/aDirectory_test.cpp)
endif()
