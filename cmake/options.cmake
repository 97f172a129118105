# Compile options shared by every target of the project.
#
# QW_SANITIZE: "" (none), "address" (ASan + UBSan), "thread" (TSan).
# QW_FUZZ: build the libFuzzer targets under fuzz/ (clang only).
set(QW_SANITIZE "" CACHE STRING "Sanitizer set for native builds: address, thread or empty")
option(QW_FUZZ "Build libFuzzer targets" OFF)

add_library(qw_options INTERFACE)
target_compile_features(qw_options INTERFACE cxx_std_20)
target_compile_options(qw_options INTERFACE -Wall -Wextra -Werror)

# Narrow string literals are Shift-JIS (code page 932) at run time. clang only
# knows UTF-8 as execution character set; its builds (the fuzz targets) keep
# UTF-8 literals.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(qw_options INTERFACE -finput-charset=UTF-8 -fexec-charset=CP932)
  # GCC 12 reports false positives of these inside libstdc++'s std::string
  # when optimising (GCC bug 105329); they would stop the build as errors.
  target_compile_options(qw_options INTERFACE -Wno-restrict -Wno-stringop-overflow -Wno-array-bounds)
  # libstdc++ 12's <chrono> holds the literal "\u00b5s" (micro sign) in its
  # C++20 formatting code, which code page 932 cannot represent. Use a copy of
  # the header with "us" in its place, found before the compiler's own.
  set(_probe ${CMAKE_BINARY_DIR}/chrono_probe.cpp)
  file(WRITE ${_probe} "#include <chrono>\n")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -std=c++20 -M ${_probe}
                  OUTPUT_VARIABLE _deps ERROR_QUIET)
  string(REGEX MATCH "[^ \t\n\\]*/c\\+\\+/[^ \t\n\\]*/chrono|[^ \t\n\\]*include/c\\+\\+/chrono" _chrono "${_deps}")
  if(_chrono AND EXISTS ${_chrono})
    file(READ ${_chrono} _text)
    string(REPLACE "\"\\u00b5s\"" "\"us\"" _text "${_text}")
    file(WRITE ${CMAKE_BINARY_DIR}/cp932-fix/chrono "${_text}")
    target_compile_options(qw_options INTERFACE -isystem ${CMAKE_BINARY_DIR}/cp932-fix)
  else()
    message(WARNING "libstdc++ <chrono> not found; C++20 chrono may not compile with code page 932")
  endif()
endif()
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
