# Packet, UEI and error vocabulary.
target_sources(axolon_link PRIVATE
  Axolon2/common/aDefs.cpp
  Axolon2/common/aError.cpp
  Axolon2/common/aPacket.cpp
  Axolon2/common/aUEI.cpp
  Axolon2/common/aVersion.cpp)
if(BUILD_TESTING)
  target_sources(axolon_tests PRIVATE
    tests/axolon/aDefs_test.cpp
    tests/axolon/aError_test.cpp
    tests/axolon/aPacket_test.cpp
    tests/axolon/aUEI_test.cpp
    tests/axolon/aVersion_test.cpp)
endif()
