// The chat bridge's start stamp on its own: the clocks a host cannot set. Its
// other text rules (ids, uris, stamp order) are exercised through the relay
// in chat_test.
#include "plugin/chat_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace Tarn::Client::GameClientChat {
namespace {

TEST(ChatHelpersTest, StartStampsHaveMillisecondsAndFailCleanly) {
  kiv::String stamp;
  ASSERT_TRUE(FormatStartTimestamp(1612170303042, &stamp));
  EXPECT_EQ(stamp, "2021-02-01T09:05:03.042Z");
  // Far beyond what a 32-bit time_t holds: either a stamp or a clean failure.
  if (FormatStartTimestamp(INT64_MAX, &stamp)) {
    EXPECT_EQ(stamp.substr(stamp.size() - 5), ".807Z");
  } else {
    EXPECT_TRUE(stamp.empty());
  }
  EXPECT_FALSE(FormatStartTimestamp(-1, &stamp));  // a clock before 1970 has no stamp
  EXPECT_GT(UtcMillisecondsNow(), 1600000000000);
  EXPECT_TRUE(StampsBefore("2021", "2021-"));
  EXPECT_FALSE(StampsBefore("\xff", "2"));  // bytes compare unsigned
  EXPECT_EQ(ParseUnsigned("99999999999999999999999", 10), UINT64_MAX);
  EXPECT_EQ(ParseUnsigned(std::string_view("12\0"
                                           "34",
                                           5),
                          10),
            12u);
}

}  // namespace
}  // namespace Tarn::Client::GameClientChat
