# Warnings and sanitizers shared by every target of the project.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Wshadow -Wformat=2 -Wswitch-enum
  $<$<COMPILE_LANGUAGE:C>:-Wmissing-prototypes>
  $<$<COMPILE_LANGUAGE:CXX>:-Wmissing-declarations>
  $<$<BOOL:${UPDATER_WERROR}>:-Werror>)

if(UPDATER_SANITIZE STREQUAL "address")
  set(_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(UPDATER_SANITIZE STREQUAL "thread")
  set(_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT UPDATER_SANITIZE STREQUAL "")
  message(FATAL_ERROR "UPDATER_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(_san_flags)
  # Every object, test support and simulators included, so reports cover the whole process.
  add_compile_options(${_san_flags})
  add_link_options(${_san_flags})
endif()
