#include "common/exception_text.h"

namespace qw {

std::string ExceptionText(std::exception_ptr error) {
  if (!error) return "不明なエラー";  // rethrowing a null pointer is undefined
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "不明なエラー";
  }
}

}  // namespace qw
