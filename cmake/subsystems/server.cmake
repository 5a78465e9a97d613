# Update server client, the build catalogue operations of the Updater, and the local update server.
target_sources(updater_core PRIVATE
  updater/base64.cpp
  updater/HTTPRequest.cpp
  updater/UpdateServerRequest.cpp
  updater/Updater.cpp)

if(BUILD_TESTING)
  # The local update server: the model (request in, answer out) and the HTTP listener are a
  # library so unit tests run them in-process; sim_server puts them in a process of its own.
  add_library(sim_server_model STATIC
    tools/sim/server/SimServerModel.cpp
    tools/sim/server/SimHttpServer.cpp)
  target_include_directories(sim_server_model PUBLIC tools/sim/server)
  target_link_libraries(sim_server_model PUBLIC Threads::Threads PRIVATE project_options)

  add_executable(sim_server tools/sim/server/sim_server_main.cpp)
  target_link_libraries(sim_server PRIVATE sim_server_model bird_builder project_options)

  target_sources(test_support PRIVATE tests/support/SimProcess.cpp tests/support/ClosedPort.cpp)

  target_sources(updater_tests PRIVATE
    tests/updater/base64_test.cpp
    tests/updater/HTTPRequest_test.cpp
    tests/updater/UpdateServerRequest_test.cpp
    tests/updater/SimServerModel_test.cpp
    tests/updater/Updater_test.cpp)
  target_link_libraries(updater_tests PRIVATE sim_server_model)
endif()

if(BUILD_TESTING)
  # -B, -G, -L and -J of the real binary against sim_server.
  target_sources(e2e_tests PRIVATE tests/e2e/catalogue_test.cpp)
  target_compile_definitions(e2e_tests PRIVATE SIM_SERVER_EXE="$<TARGET_FILE:sim_server>")
  add_dependencies(e2e_tests sim_server)
endif()

if(UPDATER_BENCH AND BUILD_TESTING)
  # Run by hand: -G of a 20 MiB image against curl + base64 -d, with the peak memory.
  add_executable(download_bench bench/download_bench.cpp)
  target_link_libraries(download_bench PRIVATE test_support bird_builder project_options)
  target_compile_definitions(download_bench PRIVATE UPDATER_EXE="$<TARGET_FILE:updater>"
    SIM_SERVER_EXE="$<TARGET_FILE:sim_server>")
  add_dependencies(download_bench updater sim_server)
endif()
