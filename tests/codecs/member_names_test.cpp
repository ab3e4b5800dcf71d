// The index of member names that lets the readers append members without
// looking them up: a repeat must always be noticed, a new name must (in
// practice) never be taken for a repeat, and scopes must not leak into each
// other.
#include "codecs/member_names.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv::codecs::detail {
namespace {

TEST(MemberNames, NoticesRepeatsInSmallAndLargeScopes) {
  MemberNames names;
  for (int size : {3, 16, 17, 1000}) {
    NameScope scope = names.Open();
    for (int i = 0; i < size; ++i) EXPECT_TRUE(names.Add(scope, "name" + std::to_string(i))) << size << " " << i;
    for (int i = 0; i < size; ++i) EXPECT_FALSE(names.Add(scope, "name" + std::to_string(i))) << size << " " << i;
    EXPECT_TRUE(names.Add(scope, ""));
    EXPECT_FALSE(names.Add(scope, ""));
    names.Close(scope);
  }
}

TEST(MemberNames, ScopesAreSeparate) {
  MemberNames names;
  NameScope outer = names.Open();
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(names.Add(outer, "o" + std::to_string(i)));
  {
    NameScope inner = names.Open();
    EXPECT_TRUE(names.Add(inner, "o1"));  // the outer object's name is new here
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(names.Add(inner, "i" + std::to_string(i)));
    names.Close(inner);
  }
  EXPECT_TRUE(names.Add(outer, "i1"));  // and the inner names never reached the outer one
  EXPECT_FALSE(names.Add(outer, "o39"));
  // A later scope starts empty, also when it reuses a table.
  names.Close(outer);
  NameScope next = names.Open();
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(names.Add(next, "o" + std::to_string(i)));
  names.Close(next);
}

// A false alarm sends every later member of its object to the exact lookup,
// which is slow for large objects: hundreds of thousands of distinct names
// must not raise one.
TEST(MemberNames, DistinctNamesOfAHugeObjectAreAllNew) {
  MemberNames names;
  NameScope scope = names.Open();
  int alarms = 0;
  // Short names of every length up to a few words, where length and content
  // meet in one word of the hash, then longer ones.
  for (int i = 0; i < 100000; ++i) {
    if (!names.Add(scope, std::to_string(i))) ++alarms;
    if (!names.Add(scope, "o" + std::to_string(i))) ++alarms;
  }
  for (int i = 0; i < 200000; ++i) {
    if (!names.Add(scope, "key-" + std::to_string(i * 7919u) + (i % 3 == 0 ? "-with-a-longer-tail" : ""))) ++alarms;
  }
  EXPECT_EQ(alarms, 0);
  names.Close(scope);
}

}  // namespace
}  // namespace kiv::codecs::detail
