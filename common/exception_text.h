// The text of an error caught as an exception pointer, as failure entries
// show it: what() of a std::exception, "不明なエラー" for anything else.
#pragma once

#include <exception>
#include <string>

namespace qw {

std::string ExceptionText(std::exception_ptr error);

}  // namespace qw
