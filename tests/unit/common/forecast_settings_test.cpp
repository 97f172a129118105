// FORECASTDAYS as people write it: accepted values, and refusals that name
// the key and say why.
#include "common/forecast_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.h"

namespace qw {
namespace {

TEST(ForecastSettingsTest, ValuesAsWritten) {
  struct Case {
    const char* ini;
    int days;              // -1: refused
    const char* reason;    // a part of the refusal
  };
  const Case cases[] = {
      {"", 0, nullptr},
      {"[WARNING]\r\nINTERVAL=24\r\n", 0, nullptr},
      {"[WARNING]\r\nFORECASTDAYS=\r\n", 0, nullptr},
      {"[WARNING]\r\nFORECASTDAYS=0\r\n", 0, nullptr},
      {"[WARNING]\r\nFORECASTDAYS=14\r\n", 14, nullptr},
      {"[warning]\r\nforecastdays = 7 \r\n", 7, nullptr},
      {"[WARNING]\r\nFORECASTDAYS=\"30\"\r\n", 30, nullptr},
      {"[WARNING]\r\nFORECASTDAYS=365\r\n", 365, nullptr},
      {"[WARNING]\r\nFORECASTDAYS=366\r\n", -1, "365 日を超えています"},
      {"[WARNING]\r\nFORECASTDAYS=-1\r\n", -1, "0 以上の整数ではありません"},
      {"[WARNING]\r\nFORECASTDAYS=7d\r\n", -1, "0 以上の整数ではありません"},
      {"[WARNING]\r\nFORECASTDAYS=1.5\r\n", -1, "0 以上の整数ではありません"},
      {"[WARNING]\r\nFORECASTDAYS=99999999999\r\n", -1, "0 以上の整数ではありません"},
      {"[WARNING]\r\nFORECASTDAYS=2 weeks\r\n", -1, "0 以上の整数ではありません"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    try {
      const ForecastSettings settings = ReadForecastSettings(ProfileSnapshot::OfBytes(c.ini));
      EXPECT_EQ(settings.days, c.days);
    } catch (const EConvertError& e) {
      ASSERT_EQ(c.days, -1) << e.what();
      const std::string what = e.what();
      EXPECT_NE(what.find("[WARNING] FORECASTDAYS="), std::string::npos) << what;
      EXPECT_NE(what.find(c.reason), std::string::npos) << what;
    }
  }
}

}  // namespace
}  // namespace qw
