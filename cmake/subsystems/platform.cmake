# Platform helpers of the device link library: files, mutexes, threads and time.
target_sources(axolon_link PRIVATE
  Axolon2/common/unix_file.cpp
  Axolon2/common/unix_mutex.cpp
  Axolon2/common/unix_thread.cpp
  Axolon2/common/unix_time.cpp)
if(BUILD_TESTING)
  target_sources(axolon_tests PRIVATE
    tests/axolon/aFile_test.cpp
    tests/axolon/aMutex_test.cpp
    tests/axolon/aThread_test.cpp
    tests/axolon/aTime_test.cpp)
endif()
