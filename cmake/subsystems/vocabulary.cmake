# Packet, UEI and error vocabulary.
target_sources(axolon_link PRIVATE
  Axolon2/common/aError.cpp
  Axolon2/common/aPacket.cpp)
if(BUILD_TESTING)
  target_sources(axolon_tests PRIVATE
    tests/axolon/aError_test.cpp
    tests/axolon/aPacket_test.cpp)
endif()
