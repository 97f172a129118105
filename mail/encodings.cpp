// Placeholder bodies: declarations are final, implementations follow.
#include "mail/encodings.h"

namespace qw {

UUDecodeError::UUDecodeError() : std::runtime_error("UUCODE message format error") {}

std::string EncodeQuotedPrintable(std::string_view /*text*/, bool /*headerMode*/) {
  // Not implemented yet.
  return {};
}

std::string EncodeHeaderWord(std::string_view /*text*/, std::string_view /*charset*/) {
  // Not implemented yet.
  return {};
}

std::string DecodeQuotedPrintable(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

std::string DecodeBase64Text(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

std::string DecodeHeaderWords(std::string_view /*text*/) {
  // Not implemented yet.
  return {};
}

std::size_t EncodeBase64Stream(std::string& /*destination*/, std::string_view /*source*/) {
  // Not implemented yet.
  return 0;
}

std::string EncodeBase64Lines(std::string_view /*source*/) {
  // Not implemented yet.
  return {};
}

int UUDecodeChar(char /*c*/) {
  // Not implemented yet.
  return 0;
}

std::string UUDecodeLine(std::string_view /*line*/) {
  // Not implemented yet.
  return {};
}

void UUDecodeText(std::string_view /*text*/, std::string& /*destination*/) {
  // Not implemented yet.
  
}

std::string PadLeftTo(std::string_view /*text*/, int /*width*/, std::string_view /*pad*/) {
  // Not implemented yet.
  return {};
}

std::uint32_t NextMailRandom() {
  // Not implemented yet.
  return 0;
}

void SeedMailRandom(std::uint32_t /*seed*/) {
  // Not implemented yet.
  
}

std::string NewBoundary() {
  // Not implemented yet.
  return {};
}

std::string BoundaryText(std::uint32_t /*number*/) {
  // Not implemented yet.
  return {};
}

double LocalUtcOffset(SystemInfo& /*system*/) {
  // Not implemented yet.
  return 0;
}

double LocalUtcOffsetFromMinutes(int /*offsetMinutes*/) {
  // Not implemented yet.
  return 0;
}

std::string DateHeaderText(const LocalDateTime& /*when*/, int /*utcOffsetMinutes*/) {
  // Not implemented yet.
  return {};
}

std::string DateHeaderText(const LocalDateTime& /*when*/, SystemInfo& /*system*/) {
  // Not implemented yet.
  return {};
}

std::string ContentTypeOfFile(std::string_view /*fileName*/) {
  // Not implemented yet.
  return {};
}

}  // namespace qw
