# Device link: byte streams (socket, serial, COBS framing), packet FIFOs, the
# link engine and link table, and the virtual device that plays the far end.
target_sources(axolon_link PRIVATE
  Axolon2/common/crc8.cpp
  Axolon2/common/cobs.cpp
  Axolon2/common/aStream.cpp
  Axolon2/common/aStreamsocket.cpp
  Axolon2/common/unix_streamserial.cpp
  Axolon2/common/aStream_CobsEncoding.cpp
  Axolon2/common/packetfifo.cpp)

if(BUILD_TESTING)
  target_sources(test_support PRIVATE tests/support/MemoryStream.cpp)
  target_sources(axolon_tests PRIVATE
    tests/axolon/crc8_cobs_test.cpp
    tests/axolon/aStream_test.cpp
    tests/axolon/packetfifo_test.cpp)
  target_link_libraries(axolon_tests PRIVATE util)
endif()
