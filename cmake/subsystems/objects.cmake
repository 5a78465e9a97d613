# Device link objects (Module, Link, entities) and TCP/IP discovery, with the virtual
# devices' discovery responder and the network-namespace fixture that discovery tests run in.
target_sources(axolon_link PRIVATE
  Axolon2/common/discover.cpp
  Axolon2/common/unix_discovery.cpp
  Axolon2/common/Link.cpp
  Axolon2/common/Module.cpp
  Axolon2/common/Entity.cpp
  Axolon2/common/SystemClass.cpp
  Axolon2/common/I2CClass.cpp)

if(BUILD_TESTING)
  # The device side of discovery, shared by sim_discovery and the virtual device.
  add_library(sim_discovery_model STATIC tools/sim/discovery/DiscoveryResponder.cpp)
  target_include_directories(sim_discovery_model PUBLIC tools/sim/discovery)
  target_link_libraries(sim_discovery_model PUBLIC Threads::Threads PRIVATE project_options)

  add_executable(sim_discovery tools/sim/discovery/sim_discovery_main.cpp)
  target_link_libraries(sim_discovery PRIVATE sim_discovery_model project_options)

  target_sources(test_support PRIVATE tests/support/NetnsPair.cpp)
  target_sources(axolon_tests PRIVATE tests/axolon/discover_test.cpp tests/axolon/Module_test.cpp)
  target_link_libraries(axolon_tests PRIVATE sim_discovery_model)

  # Multicast runs only inside the namespaces these tests create, so they have a target
  # (and label) of their own.
  add_executable(axolon_netns_tests
    tests/netns/discovery_netns_test.cpp
    tests/netns/module_netns_test.cpp
    tests/netns/netns_fixture_test.cpp)
  target_link_libraries(axolon_netns_tests PRIVATE axolon_link test_support GTest::gmock_main project_options)
  target_compile_definitions(axolon_netns_tests PRIVATE
    SIM_DISCOVERY_EXE="$<TARGET_FILE:sim_discovery>"
    SIM_DEVICE_EXE="$<TARGET_FILE:sim_device>")
  add_dependencies(axolon_netns_tests sim_discovery sim_device)
  gtest_discover_tests(axolon_netns_tests PROPERTIES LABELS netns TIMEOUT 120 DISCOVERY_TIMEOUT 60)
endif()

if(BUILD_TESTING)
  # The virtual device's application layer (system entity, module information, streams, I2C
  # bus and routing) and its discovery answers.
  target_sources(sim_device_model PRIVATE tools/sim/device/DeviceServices.cpp)
  target_link_libraries(sim_device PRIVATE sim_discovery_model)
endif()
