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
  target_sources(test_support PRIVATE tests/support/TempDir.cpp)
  target_sources(updater_tests PRIVATE
    tests/updater/aDirectory_test.cpp)
endif()
