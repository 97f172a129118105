// The threshold texts: how the unit is found and cut, and what the service's
// conversion makes of each form, refusals with their messages included.
#include "common/threshold.h"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.h"

namespace qw {
namespace {

TEST(Threshold, SplitFindsTheUnitAnywhereAndCutsItFromTheEnd) {
  const struct {
    const char* text;
    ThresholdUnit unit;
    const char* number;
  } cases[] = {
      {"500MB", ThresholdUnit::MB, "500"},
      {"10%", ThresholdUnit::Percent, "10"},
      {"5MB%", ThresholdUnit::MB, "5M"},     // "MB" wins over '%'
      {"%5", ThresholdUnit::Percent, "%"},   // the last byte goes, wherever the '%' stood
      {"500mb", ThresholdUnit::None, "500mb"},
      {"0", ThresholdUnit::None, "0"},
      {"", ThresholdUnit::None, ""},
  };
  for (const auto& c : cases) {
    const ThresholdParts parts = SplitThreshold(c.text);
    EXPECT_EQ(parts.unit, c.unit) << c.text;
    EXPECT_EQ(parts.number, c.number) << c.text;
  }
}

TEST(Threshold, BytesOfEachForm) {
  const int64_t capacity = 1000;
  EXPECT_EQ(ThresholdBytes("500MB", capacity, "."), 500LL * 1024 * 1024);
  EXPECT_EQ(ThresholdBytes("0MB", capacity, "."), 0);
  EXPECT_EQ(ThresholdBytes("10%", capacity, "."), 100);
  EXPECT_EQ(ThresholdBytes("50%", 5, "."), 2) << "2.5 rounds to the even neighbour";
  EXPECT_EQ(ThresholdBytes("50%", 7, "."), 4) << "3.5 rounds to the even neighbour";
  EXPECT_EQ(ThresholdBytes("2,5%", capacity, ","), 25) << "the system's decimal separator";
  EXPECT_THROW(ThresholdBytes("2.5%", capacity, ","), EConvertError);
  EXPECT_EQ(ThresholdBytes("100%", -1, "."), -1) << "a drive of unknown size";
  EXPECT_EQ(ThresholdBytes("0", capacity, "."), 0);
  EXPECT_EQ(ThresholdBytes(" \t", capacity, "."), 0);
  EXPECT_EQ(ThresholdBytes("", capacity, "."), 0);
}

TEST(Threshold, RefusalsNameTheNumber) {
  auto message = [](const std::string& text) {
    try {
      ThresholdBytes(text, 1000, ".");
    } catch (const EConvertError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message("-5MB"), NotANonNegativeNumber("-5").what());
  EXPECT_EQ(message("-1%"), NotANonNegativeNumber("-1").what());
  EXPECT_EQ(message(" 5MB"), NotAnInteger(" 5").what());
  EXPECT_EQ(message("9000000000000MB"), NotAnInteger("9000000000000").what()) << "beyond 64 bits in bytes";
  EXPECT_EQ(message("x%"), NotAFloat("x").what());
  EXPECT_EQ(message("100%"), "accepted") << "the whole drive: every check alerts, as asked";
  EXPECT_EQ(message("150%"), "accepted") << "a hand-written file with more than the drive keeps loading";
  EXPECT_EQ(message("500"), NotAThreshold("500").what());
  EXPECT_EQ(message("500mb"), "'500mb' は MB または % のしきい値ではありません");
}

}  // namespace
}  // namespace qw
