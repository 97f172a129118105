// The IDs the Windows writer gives ReportEventW: the message table of the
// service program (messages.mc) and the README's table hold these values.
#include <gtest/gtest.h>

#include "platform/event_log.h"

namespace qw::test {
namespace {

TEST(EventMessageId, SeverityOfTheTypeAboveTheShownId) {
  EXPECT_EQ(EventMessageId(EventType::Information, 5610), 0x400015EAu);
  EXPECT_EQ(EventMessageId(EventType::Warning, 5610), 0x800015EAu);
  EXPECT_EQ(EventMessageId(EventType::Error, 5610), 0xC00015EAu);
  EXPECT_EQ(EventMessageId(EventType::Information, 0), 0x40000000u);
  EXPECT_EQ(EventMessageId(EventType::Warning, 0), 0x80000000u);
  EXPECT_EQ(EventMessageId(EventType::Error, 0), 0xC0000000u);
  // Event Viewer shows the low sixteen bits: the ID the caller gave.
  for (EventType type : {EventType::Information, EventType::Warning, EventType::Error}) {
    EXPECT_EQ(EventMessageId(type, 5610) & 0xFFFFu, 5610u);
    EXPECT_EQ(EventMessageId(type, 0x12345u) & 0x0FFF0000u, 0u) << "no facility or customer bit from a wide ID";
  }
}

}  // namespace
}  // namespace qw::test
