#include "common/secret_mask.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/text_codec.h"

namespace qw {
namespace {

bool IsSjisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The form `bytes` would also travel in: UTF-8 when it converts, else none.
std::string Utf8Form(const std::string& bytes) {
  std::string utf8;
  if (!SjisToUtf8Exact(bytes, &utf8)) return "";
  return utf8;
}

}  // namespace

std::string Base64OneLine(std::string_view bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                       uint8_t(bytes[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

void SecretMask::AddForm(std::string form) {
  if (form.empty()) return;
  if (std::find(forms_.begin(), forms_.end(), form) != forms_.end()) return;
  forms_.push_back(std::move(form));
}

void SecretMask::AddBase64Forms(const std::string& bytes) {
  if (bytes.empty()) return;
  AddForm(Base64OneLine(bytes));
  // Within a longer run the secret starts at one of three byte alignments.
  // Its bits then span [8k, 8k + 8n); a digit (6 bits) depends on the
  // secret alone when it lies wholly inside that span.
  for (size_t k = 0; k < 3; ++k) {
    std::string padded(k, '\0');
    padded += bytes;
    padded.append(2, '\0');
    const std::string encoded = Base64OneLine(padded);
    const size_t first = (8 * k + 5) / 6;
    const size_t end = (8 * k + 8 * bytes.size()) / 6;
    if (end > first && end - first >= kMinBase64Fragment) AddForm(encoded.substr(first, end - first));
  }
}

void SecretMask::AddSecret(const std::string& secret) {
  if (secret.empty()) return;
  AddForm(secret);
  AddBase64Forms(secret);
  const std::string utf8 = Utf8Form(secret);
  if (!utf8.empty() && utf8 != secret) {
    AddForm(utf8);
    AddBase64Forms(utf8);
  }
}

void SecretMask::AddLogin(const std::string& user, const std::string& password) {
  AddSecret(password);
  const std::string utf8User = Utf8Form(user);
  const std::string utf8Password = Utf8Form(password);
  // The AUTH LOGIN answer for the user name, as sent and as the file has it.
  if (!user.empty()) {
    AddForm(Base64OneLine(user));
    if (!utf8User.empty()) AddForm(Base64OneLine(utf8User));
  }
  if (password.empty()) return;
  // The AUTH PLAIN payload, whole.
  AddForm(Base64OneLine(std::string(1, '\0') + user + std::string(1, '\0') + password));
  if ((user.empty() || !utf8User.empty()) && !utf8Password.empty())
    AddForm(Base64OneLine(std::string(1, '\0') + utf8User + std::string(1, '\0') + utf8Password));
}

std::string SecretMask::Apply(std::string_view text) const {
  if (forms_.empty() || text.empty()) return std::string(text);
  std::vector<std::pair<size_t, size_t>> hits;  // [begin, end)
  for (const std::string& form : forms_) {
    for (size_t at = text.find(form); at != std::string_view::npos; at = text.find(form, at + 1))
      hits.emplace_back(at, at + form.size());
  }
  if (hits.empty()) return std::string(text);

  // Character starts of the text read as Shift-JIS.
  std::vector<bool> starts(text.size() + 1, false);
  for (size_t i = 0; i < text.size();) {
    starts[i] = true;
    i += IsSjisLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
  }
  starts[text.size()] = true;
  for (auto& [begin, end] : hits) {
    while (!starts[begin]) --begin;
    while (!starts[end]) ++end;
  }
  std::sort(hits.begin(), hits.end());

  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  size_t i = 0;
  while (i < hits.size()) {
    size_t begin = hits[i].first;
    size_t end = hits[i].second;
    for (++i; i < hits.size() && hits[i].first <= end; ++i) end = std::max(end, hits[i].second);
    out.append(text, copied, begin - copied);
    out += kSecretMarker;
    copied = end;
  }
  out.append(text, copied, std::string_view::npos);
  return out;
}

SecretMask LoginMask(const std::string& user, const std::string& password) {
  SecretMask mask;
  mask.AddLogin(user, password);
  return mask;
}

const SecretMask& LoginMaskCache::For(const std::string& user, const std::string& password) {
  if (!made_ || user_ != user || password_ != password) {
    mask_ = LoginMask(user, password);
    user_ = user;
    password_ = password;
    made_ = true;
  }
  return mask_;
}

}  // namespace qw
