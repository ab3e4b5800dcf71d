// The index of member keys that lets the readers append members without
// looking them up: a repeat must always be noticed, a new key never taken for
// a repeat, and scopes must not leak into each other.
#include "readers/member_names.h"

#include <gtest/gtest.h>

#include <string>

#include "value/value.h"

namespace kiv::codecs::detail {
namespace {

using binding::InternedString;

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
  binding::Value tree_;
};

TEST(MemberNames, NoticesRepeatsInSmallAndLargeScopesAndKeepsScopesApart) {
  TreeKeys keys;
  MemberNames names;
  for (int size : {3, 16, 17, 1000}) {
    NameScope scope = names.Open();
    for (int i = 0; i < size; ++i) {
      EXPECT_EQ(names.Add(scope, keys("name" + std::to_string(i))), MemberNames::kAdded) << size << " " << i;
    }
    // An inner scope starts empty and its names never reach the outer one.
    NameScope inner = names.Open();
    EXPECT_EQ(names.Add(inner, keys("name1")), MemberNames::kAdded);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(names.Add(inner, keys("i" + std::to_string(i))), MemberNames::kAdded);
    names.Close(inner);
    EXPECT_EQ(names.Add(scope, keys("i1")), MemberNames::kAdded) << size;
    for (int i = 0; i < size; ++i) {  // a repeat tells where the name was first seen
      EXPECT_EQ(names.Add(scope, keys("name" + std::to_string(i))), static_cast<uint32_t>(i)) << size << " " << i;
    }
    EXPECT_EQ(names.Add(scope, &InternedString::Empty()), MemberNames::kAdded);
    EXPECT_NE(names.Add(scope, keys("")), MemberNames::kAdded);  // the empty name has one record too
    names.Close(scope);
  }
}

}  // namespace
}  // namespace kiv::codecs::detail
