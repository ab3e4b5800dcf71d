// The index of member keys that lets the readers append members without
// looking them up: a repeat must always be noticed, a new key never taken for
// a repeat, and scopes must not leak into each other.
#include "readers/member_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "value/value.h"

namespace kiv::codecs::detail {
namespace {

using binding::InternedString;
using binding::Value;

// Key records of one tree, as the readers have them; a member under each
// keeps it alive.
class TreeKeys {
 public:
  TreeKeys() { tree_.MakeStructure(); }
  const InternedString* operator()(const std::string& name) {
    tree_.Member(name);
    const InternedString* key = tree_.InternKey(name);
    tree_.ReleaseKey(key);
    return key;
  }

 private:
  Value tree_;
};

TEST(MemberNames, NoticesRepeatsInSmallAndLargeScopes) {
  TreeKeys keys;
  MemberNames names;
  for (int size : {3, 16, 17, 1000}) {
    NameScope scope = names.Open();
    for (int i = 0; i < size; ++i)
      EXPECT_EQ(names.Add(scope, keys("name" + std::to_string(i))), MemberNames::kAdded) << size << " " << i;
    for (int i = 0; i < size; ++i)
      // A repeat tells where the name was first seen.
      EXPECT_EQ(names.Add(scope, keys("name" + std::to_string(i))), static_cast<uint32_t>(i)) << size << " " << i;
    EXPECT_EQ(names.Add(scope, &InternedString::Empty()), MemberNames::kAdded);
    EXPECT_NE(names.Add(scope, keys("")), MemberNames::kAdded);  // the empty name has one record too
    names.Close(scope);
  }
}

TEST(MemberNames, ScopesAreSeparate) {
  TreeKeys keys;
  MemberNames names;
  NameScope outer = names.Open();
  for (int i = 0; i < 40; ++i) ASSERT_EQ(names.Add(outer, keys("o" + std::to_string(i))), MemberNames::kAdded);
  {
    NameScope inner = names.Open();
    EXPECT_EQ(names.Add(inner, keys("o1")), MemberNames::kAdded);  // the outer object's name is new here
    for (int i = 0; i < 40; ++i) ASSERT_EQ(names.Add(inner, keys("i" + std::to_string(i))), MemberNames::kAdded);
    names.Close(inner);
  }
  EXPECT_EQ(names.Add(outer, keys("i1")), MemberNames::kAdded);  // and the inner names never reached the outer one
  EXPECT_EQ(names.Add(outer, keys("o39")), 39u);
  // A later scope starts empty, also when it reuses a table.
  names.Close(outer);
  NameScope next = names.Open();
  for (int i = 0; i < 40; ++i) EXPECT_EQ(names.Add(next, keys("o" + std::to_string(i))), MemberNames::kAdded);
  names.Close(next);
}

// Many keys of one object, as a large table grows: every new key is new and
// every repeat is caught.
TEST(MemberNames, HugeObjects) {
  TreeKeys keys;
  MemberNames names;
  NameScope scope = names.Open();
  std::vector<const InternedString*> held;
  for (int i = 0; i < 100000; ++i) held.push_back(keys("key-" + std::to_string(i * 7919u)));
  int wrong = 0;
  for (const InternedString* key : held) wrong += names.Add(scope, key) == MemberNames::kAdded ? 0 : 1;
  for (std::size_t i = 0; i < held.size(); i += 7) wrong += names.Add(scope, held[i]) == i ? 0 : 1;
  EXPECT_EQ(wrong, 0);
  names.Close(scope);
}

}  // namespace
}  // namespace kiv::codecs::detail
