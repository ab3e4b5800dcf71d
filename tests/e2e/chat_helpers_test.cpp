// The chat bridge's text rules on their own: what the relay and the start
// stamp depend on but the host cannot reach.
#include "plugin/chat_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace Tarn::Client::GameClientChat {
namespace {

std::vector<std::string> Split(std::string_view uri) {
  std::vector<std::string> out;
  for (const kiv::String& s : SplitUriPath(uri)) out.emplace_back(s);
  return out;
}

TEST(ChatHelpersTest, UrisSplitAtEverySeparatorAfterTheFirstCharacter) {
  EXPECT_EQ(Split("/kiv-chat/v1/blocked-players/42"),
            (std::vector<std::string>{"kiv-chat", "v1", "blocked-players", "42"}));
  EXPECT_EQ(Split("kiv-chat/v1/friends/42"), (std::vector<std::string>{"iv-chat", "v1", "friends", "42"}));
  EXPECT_EQ(Split("/a//b?c=d#"), (std::vector<std::string>{"a", "", "b", "c", "d", ""}));
  EXPECT_EQ(Split("/"), std::vector<std::string>{""});
  EXPECT_EQ(Split("x"), std::vector<std::string>{""});
  EXPECT_TRUE(Split("").empty());
}

TEST(ChatHelpersTest, UnsignedTextsParseAsTheCLibraryDoes) {
  EXPECT_EQ(ParseUnsigned("00042", 10), 42u);
  EXPECT_EQ(ParseUnsigned("123abc", 10), 123u);
  EXPECT_EQ(ParseUnsigned("abc", 10), 0u);
  EXPECT_EQ(ParseUnsigned("0x10", 10), 0u);
  EXPECT_EQ(ParseUnsigned("0x10", 0), 16u);
  EXPECT_EQ(ParseUnsigned("010", 0), 8u);
  EXPECT_EQ(ParseUnsigned(" \t+7", 0), 7u);
  EXPECT_EQ(ParseUnsigned("-1", 10), UINT64_MAX);
  EXPECT_EQ(ParseUnsigned("18446744073709551615", 10), UINT64_MAX);
  EXPECT_EQ(ParseUnsigned("99999999999999999999999", 10), UINT64_MAX);
  EXPECT_EQ(ParseUnsigned(std::string_view("12\0"
                                           "34",
                                           5),
                          10),
            12u);
  EXPECT_EQ(DecimalText(0), "0");
  EXPECT_EQ(DecimalText(UINT64_MAX), "18446744073709551615");
}

TEST(ChatHelpersTest, SummonerIdsOfEveryKind) {
  kiv::binding::Value v;
  EXPECT_EQ(SummonerIdOf(v), 0u);
  v.SetBool(true);
  EXPECT_EQ(SummonerIdOf(v), 1u);
  v.SetSigned(-2);
  EXPECT_EQ(SummonerIdOf(v), UINT64_MAX - 1);
  v.SetFloat(42.99);
  EXPECT_EQ(SummonerIdOf(v), 42u);
  v.SetFloat(-1.5);
  EXPECT_EQ(SummonerIdOf(v), UINT64_MAX);
  for (double out : {1e300, -1e300, 18446744073709551616.0, std::nan("")}) {
    v.SetFloat(out);
    EXPECT_EQ(SummonerIdOf(v), 0u) << out;
  }
  v.SetString("0x10");
  EXPECT_EQ(SummonerIdOf(v), 16u);
  v.SetEnum(7, nullptr);
  EXPECT_EQ(SummonerIdOf(v), 7u);
  v.MakeStructure();
  EXPECT_EQ(SummonerIdOf(v), 0u);

  kiv::binding::Value answer;
  answer.MakeStructure();
  uint64_t id = 99;
  EXPECT_FALSE(LookedUpSummonerId(answer, &id));
  answer.Member("summonerId").SetUnsigned(UINT64_MAX);
  EXPECT_TRUE(LookedUpSummonerId(answer, &id));
  EXPECT_EQ(id, UINT64_MAX);
  answer.Member("summonerId").SetSigned(42);
  EXPECT_TRUE(LookedUpSummonerId(answer, &id));
  EXPECT_EQ(id, 42u);
  for (int64_t unusable : {0, -1}) {
    id = 99;
    answer.Member("summonerId").SetSigned(unusable);
    EXPECT_FALSE(LookedUpSummonerId(answer, &id)) << unusable;
    EXPECT_EQ(id, 99u);
  }
  answer.Member("summonerId").SetUnsigned(0);
  EXPECT_FALSE(LookedUpSummonerId(answer, &id));
}

TEST(ChatHelpersTest, StartStampsHaveMillisecondsAndFailCleanly) {
  kiv::String stamp;
  // 2021-02-01T09:05:03.042Z
  ASSERT_TRUE(FormatStartTimestamp(1612170303042, &stamp));
  EXPECT_EQ(stamp, "2021-02-01T09:05:03.042Z");
  ASSERT_TRUE(FormatStartTimestamp(1612170303000, &stamp));
  EXPECT_EQ(stamp, "2021-02-01T09:05:03.000Z");
  // Far beyond what a 32-bit time_t holds: either a stamp or a clean failure.
  if (FormatStartTimestamp(INT64_MAX, &stamp)) {
    EXPECT_EQ(stamp.substr(stamp.size() - 5), ".807Z");
  } else {
    EXPECT_TRUE(stamp.empty());
  }
  // A clock before 1970 has no stamp.
  EXPECT_FALSE(FormatStartTimestamp(-1, &stamp));
  EXPECT_GT(UtcMillisecondsNow(), 1600000000000);
}

TEST(ChatHelpersTest, StampsOrderByteByByte) {
  EXPECT_TRUE(StampsBefore("2021-02-01T09:05:03.041Z", "2021-02-01T09:05:03.042Z"));
  EXPECT_FALSE(StampsBefore("2021-02-01T09:05:03.042Z", "2021-02-01T09:05:03.042Z"));
  EXPECT_TRUE(StampsBefore("", "2021"));
  EXPECT_FALSE(StampsBefore("", ""));
  EXPECT_TRUE(StampsBefore("2021", "2021-"));
  EXPECT_FALSE(StampsBefore("\xff", "2"));
}

}  // namespace
}  // namespace Tarn::Client::GameClientChat
