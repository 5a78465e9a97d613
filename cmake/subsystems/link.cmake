# Device link: byte streams (socket, serial, COBS framing), packet FIFOs, the
# link engine and link table, and the virtual device that plays the far end.
target_sources(axolon_link PRIVATE
  Axolon2/common/crc8.cpp
  Axolon2/common/cobs.cpp
  Axolon2/common/aStream.cpp
  Axolon2/common/aStreamsocket.cpp
  Axolon2/common/unix_streamserial.cpp
  Axolon2/common/aStream_CobsEncoding.cpp
  Axolon2/common/packetfifo.cpp
  Axolon2/common/aLinkManagerInternal.cpp
  Axolon2/common/aLink.cpp
  Axolon2/common/aPacketDebug.cpp
  Axolon2/common/aLogger.cpp)

if(BUILD_TESTING)
  target_sources(test_support PRIVATE tests/support/MemoryStream.cpp tests/support/SimDeviceProcess.cpp)
  target_sources(axolon_tests PRIVATE
    tests/axolon/crc8_cobs_test.cpp
    tests/axolon/aStream_test.cpp
    tests/axolon/packetfifo_test.cpp
    tests/axolon/aLink_test.cpp
    tests/axolon/aLink_sim_test.cpp)
  target_link_libraries(axolon_tests PRIVATE util)
endif()

if(BUILD_TESTING)
  # The virtual device: a model library that tests link directly, and its main.
  add_library(sim_device_model STATIC tools/sim/device/DeviceModel.cpp)
  target_include_directories(sim_device_model PUBLIC tools/sim/device)
  target_link_libraries(sim_device_model PRIVATE project_options)
  add_executable(sim_device tools/sim/device/main.cpp)
  target_link_libraries(sim_device PRIVATE sim_device_model util project_options)

  target_link_libraries(axolon_tests PRIVATE sim_device_model)
  target_compile_definitions(axolon_tests PRIVATE SIM_DEVICE_EXE="$<TARGET_FILE:sim_device>")
  add_dependencies(axolon_tests sim_device)
endif()

if(UPDATER_BENCH AND BUILD_TESTING)
  foreach(bench link_idle_cpu link_roundtrip)
    add_executable(bench_${bench} bench/${bench}.cpp)
    target_link_libraries(bench_${bench} PRIVATE axolon_link test_support project_options)
    target_compile_definitions(bench_${bench} PRIVATE SIM_DEVICE_EXE="$<TARGET_FILE:sim_device>")
    add_dependencies(bench_${bench} sim_device)
  endforeach()
endif()
