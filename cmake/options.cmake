# Compile options shared by every target of the project.
#
# QW_SANITIZE: "" (none), "address" (ASan + UBSan), "thread" (TSan).
# QW_FUZZ: build the libFuzzer targets under fuzz/ (clang only).
set(QW_SANITIZE "" CACHE STRING "Sanitizer set for native builds: address, thread or empty")
option(QW_FUZZ "Build libFuzzer targets" OFF)

add_library(qw_options INTERFACE)
target_compile_features(qw_options INTERFACE cxx_std_20)
target_compile_options(qw_options INTERFACE
  -Wall -Wextra -Werror
  -finput-charset=UTF-8 -fexec-charset=CP932)
if(WIN32)
  target_compile_definitions(qw_options INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  target_link_options(qw_options INTERFACE -static -static-libgcc -static-libstdc++)
endif()

# Sanitizer flags apply to every target, third-party test frameworks included.
if(QW_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(QW_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address)
endif()
