// Placeholder bodies: declarations are final, implementations follow.
#include "mail/header_lines.h"

namespace qw {

std::string TrimSpaces(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

std::string TrimLeftSpaces(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

std::string TrimRightSpaces(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

int FindHeaderLine(const std::vector<std::string>& /*lines*/, std::string_view /*prefix*/,
                   int /*occurrence*/) {
  // Not implemented yet.
  return 0;
}

std::string FieldValue(std::string_view /*line*/) {
  // Not implemented yet.
  return {};
}

std::string ReplaceFieldValue(std::string_view /*line*/, std::string_view /*value*/) {
  // Not implemented yet.
  return {};
}

std::string FieldParam(std::string_view /*line*/, std::string_view /*param*/) {
  // Not implemented yet.
  return {};
}

std::string ReplaceFieldParam(std::string_view /*line*/, std::string_view /*param*/,
                              std::string_view /*value*/) {
  // Not implemented yet.
  return {};
}

std::string NormalizeHeaderLine(std::string_view /*line*/) {
  // Not implemented yet.
  return {};
}

std::string FoldHeaders(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

}  // namespace qw
