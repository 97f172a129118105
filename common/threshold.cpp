#include "common/threshold.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "common/errors.h"
#include "platform/ascii_text.h"

namespace qw {

ThresholdParts SplitThreshold(const std::string& text) {
  ThresholdParts parts;
  if (text.find("MB") != std::string::npos) {
    parts.unit = ThresholdUnit::MB;
    parts.number = text.substr(0, text.size() - 2);
  } else if (text.find('%') != std::string::npos) {
    parts.unit = ThresholdUnit::Percent;
    parts.number = text.substr(0, text.size() - 1);
  } else {
    parts.number = text;
  }
  return parts;
}

int64_t ThresholdBytes(const std::string& text, int64_t capacity, const std::string& decimalSeparator) {
  const ThresholdParts parts = SplitThreshold(text);
  const std::string& number = parts.number;
  switch (parts.unit) {
    case ThresholdUnit::MB: {
      int64_t megabytes = 0;
      if (!TryStrToInt64(number, &megabytes)) throw NotAnInteger(number);
      if (megabytes < 0) throw NotANonNegativeNumber(number);
      constexpr int64_t kMebibyte = 1024 * 1024;
      // A byte count beyond 64 bits does not convert; it never wraps.
      if (megabytes > std::numeric_limits<int64_t>::max() / kMebibyte) throw NotAnInteger(number);
      return megabytes * kMebibyte;
    }
    case ThresholdUnit::Percent: {
      double percent = 0;
      if (!TryStrToFloat(number, decimalSeparator, &percent)) throw NotAFloat(number);
      if (percent < 0) throw NotANonNegativeNumber(number);
      const double share = percent / 100;
      const double product = static_cast<double>(capacity) * share;
      // Round to the nearest whole byte, a tie going to the even neighbour.
      const int previous = std::fegetround();
      std::fesetround(FE_TONEAREST);
      const double rounded = std::nearbyint(product);
      std::fesetround(previous);
      if (!(rounded >= -9.2e18 && rounded <= 9.2e18)) throw NotAFloat(number);
      return static_cast<int64_t>(rounded);
    }
    case ThresholdUnit::None:
      break;
  }
  // A number without its unit is refused rather than read as no threshold.
  const std::string_view bare = TrimControls(text);
  if (bare.empty() || bare == "0") return 0;
  throw NotAThreshold(text);
}

}  // namespace qw
