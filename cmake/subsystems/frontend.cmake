# Command line, console display, debug log, and the directory helpers that resolve the store.
target_sources(updater_core PRIVATE
  updater/Log.cpp
  updater/UpdaterDisplayInterface.cpp
  updater/aDirectory.cpp
  updater/path.cpp
  updater/CLI_Display.cpp
  updater/Usage.cpp
  updater/Parameters.cpp)

# At the top of the build tree (build/<preset>/updater), where scripts look for it.
add_executable(updater updater/main.cpp)
target_link_libraries(updater PRIVATE updater_core project_options)
set_target_properties(updater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS updater)

if(BUILD_TESTING)
  target_sources(test_support PRIVATE tests/support/TempDir.cpp tests/support/Runner.cpp)
  target_sources(updater_tests PRIVATE
    tests/updater/aDirectory_test.cpp
    tests/updater/Parameters_test.cpp
    tests/updater/Log_test.cpp)

  # Drives CLI_Display from its arguments so tests can watch a terminal and a file.
  add_executable(display_driver tests/e2e/display_driver.cpp)
  target_link_libraries(display_driver PRIVATE updater_core project_options)

  # Runs of the real binary. Other subsystems add their end-to-end sources to this target.
  add_executable(e2e_tests
    tests/e2e/cli_test.cpp
    tests/e2e/display_test.cpp
    tests/e2e/argv_fuzz_test.cpp)
  target_link_libraries(e2e_tests PRIVATE test_support GTest::gmock_main project_options)
  target_compile_definitions(e2e_tests PRIVATE
    UPDATER_EXE="$<TARGET_FILE:updater>"
    DISPLAY_DRIVER_EXE="$<TARGET_FILE:display_driver>"
    TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/data")
  add_dependencies(e2e_tests updater display_driver)
  gtest_discover_tests(e2e_tests PROPERTIES LABELS e2e TIMEOUT 120 DISCOVERY_TIMEOUT 60)
endif()
