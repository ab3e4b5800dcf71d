#include "value/value.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kiv::binding {
namespace {

std::string Keys(const Value& v) {
  std::string out;
  bool first = true;
  for (const ValueMember& m : v.Members()) {
    if (!first) out += ',';
    first = false;
    out += m.name();
  }
  return out;
}

uint32_t LiveStrings(const Value& root) { return root.Arena() != nullptr ? root.Arena()->ReadStats().strings : 0; }

// A small tree: {"list": [{"id": 1, "name": "n1"}, ...], "title": "t"}
void BuildSample(Value& root, int count) {
  Value& list = root.Member("list");
  for (int i = 0; i < count; ++i) {
    Value& item = list.Append();
    item.Member("id").SetSigned(i);
    item.Member("name").SetString("n" + std::to_string(i));
  }
  root.Member("title").SetString("t");
}

TEST(ValueBasics, NewValueIsEmptyAndReadsGiveDefaults) {
  Value v;
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_TRUE(v.IsOwner());
  EXPECT_EQ(v.Size(), 0u);
  EXPECT_EQ(v.Arena(), nullptr);
  EXPECT_TRUE(v.AsBool(true));
  EXPECT_EQ(v.AsSigned(-7), -7);
  EXPECT_EQ(v.AsUnsigned(9), 9u);
  EXPECT_EQ(v.AsFloat(2.5), 2.5);
  EXPECT_EQ(v.AsString(nullptr), nullptr);
  EXPECT_EQ(v.AsText("d"), "d");
  EXPECT_EQ(v.AsEnum({3, nullptr}).number, 3);
}

TEST(ValueBasics, ScalarsReadBackOnlyAsTheirOwnKind) {
  Value v;
  v.SetSigned(-5);
  EXPECT_EQ(v.Kind(), ValueKind::Signed);
  EXPECT_EQ(v.AsSigned(), -5);
  EXPECT_EQ(v.AsUnsigned(42), 42u);  // no conversion between kinds
  EXPECT_EQ(v.Size(), 1u);
  v.SetUnsigned(UINT64_MAX);
  EXPECT_EQ(v.AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(v.AsSigned(1), 1);
  v.SetFloat(-0.5);
  EXPECT_EQ(v.AsFloat(), -0.5);
  v.SetBool(true);
  EXPECT_TRUE(v.AsBool());
  EXPECT_EQ(v.AsFloat(1.0), 1.0);
  EXPECT_EQ(v.Arena(), nullptr);
}

TEST(ValueBasics, KindNames) {
  EXPECT_STREQ(ValueKindName(ValueKind::Empty), "empty");
  EXPECT_STREQ(ValueKindName(ValueKind::Unsigned), "unsigned");
  EXPECT_STREQ(ValueKindName(ValueKind::Collection), "collection");
  EXPECT_STREQ(ValueKindName(ValueKind::Structure), "structure");
  EXPECT_STREQ(ValueKindName(uint8_t{10}), "");
  EXPECT_STREQ(ValueKindName(uint8_t{255}), "");
}

TEST(ValueStrings, EmptyTextNeedsNoArena) {
  Value v;
  v.SetString("");
  EXPECT_EQ(v.Kind(), ValueKind::String);
  EXPECT_EQ(v.Size(), 0u);
  EXPECT_EQ(v.Arena(), nullptr);
  EXPECT_EQ(v.AsString(), &InternedString::Empty());
  v.SetString(static_cast<const char*>(nullptr));
  EXPECT_EQ(v.Kind(), ValueKind::String);
  EXPECT_EQ(v.Size(), 0u);
}

TEST(ValueStrings, TextIsKeptUpToItsFirstZeroByte) {
  Value v;
  v.SetString(std::string("ab\0cd", 5));
  EXPECT_EQ(v.AsText(), "ab");
  EXPECT_EQ(v.Size(), 2u);
  Value& m = v.Member(std::string_view("k\0x", 3));
  m.SetBool(true);
  EXPECT_EQ(Keys(v), "k");
  EXPECT_TRUE(v.FindMember("k").AsBool());

  // Long texts are copied and searched for the zero byte in one pass, by
  // words: every length around a word boundary, and a zero at every place.
  Value root;
  for (std::size_t length : {15u, 16u, 17u, 23u, 24u, 25u, 40u, 256u, 257u, 300u}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    Value& whole = root.Member("whole");
    whole.SetString(text);
    ASSERT_EQ(whole.AsText(), text) << length;
    for (std::size_t zero = 0; zero < length; ++zero) {
      std::string cut = text;
      cut[zero] = '\0';
      Value& place = root.Member("cut");
      place.SetString(cut);
      ASSERT_EQ(place.AsText(), text.substr(0, zero)) << length << " " << zero;
      ASSERT_EQ(place.AsString()->IsStandalone(), zero >= ValueArena::kSharedTextLimit) << length << " " << zero;
    }
  }
  // Replaced texts left nothing behind: only the keys are in the table.
  EXPECT_EQ(LiveStrings(root), 2u);
}

TEST(ValueStrings, EqualTextsShareOneRecordUntilTheLastGoes) {
  Value root;
  Value& a = root.Member("a");
  Value& list = root.Member("list");
  a.Member("shared").SetString("same text");
  list.Append().Member("shared").SetString("same text");
  const InternedString* text = root.FindMember("a").FindMember("shared").AsString();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text, root.FindMember("list").At(0).FindMember("shared").AsString());
  EXPECT_EQ(text->RefCount(), 2u);
  EXPECT_EQ(root.FindMember("a").Members()[0].key().RefCount(), 2u);  // key "shared" twice
  EXPECT_EQ(text->Hash(), Fnv1a("same text"));

  const uint32_t before = LiveStrings(root);
  root.Member("a").Reset();
  EXPECT_EQ(text->RefCount(), 1u);
  EXPECT_EQ(LiveStrings(root), before);
  root.Member("list").Reset();
  // "shared" and "same text" are gone; "a" and "list" remain as keys.
  EXPECT_EQ(LiveStrings(root), before - 2);
}

TEST(ValueStrings, LongTextsHaveRecordsOfTheirOwn) {
  const std::string longText = "a text long enough to stay out of the table";
  Value root;
  root.Member("short").SetString("chat");
  const uint32_t listed = LiveStrings(root);
  root.Member("one").SetString(longText);
  root.Member("two").SetString(longText);
  const InternedString* one = root.FindMember("one").AsString();
  ASSERT_NE(one, nullptr);
  EXPECT_TRUE(one->IsStandalone());
  EXPECT_NE(one, root.FindMember("two").AsString());
  EXPECT_EQ(one->RefCount(), 1u);
  EXPECT_EQ(one->Hash(), Fnv1a(longText));  // made on demand, then kept
  EXPECT_EQ(one->Hash(), Fnv1a(longText));
  EXPECT_EQ(LiveStrings(root), listed + 2);  // only the keys "one" and "two" are new in the table
  EXPECT_EQ(root.FindMember("one"), root.FindMember("two"));

  // Cut at a zero byte below the limit, a text is shared again.
  root.Member("cut").SetString(std::string("chat") + '\0' + " and what follows the zero byte");
  EXPECT_EQ(root.FindMember("cut").AsString(), root.FindMember("short").AsString());

  // Copies within the tree share the record; copies into another tree get their own.
  root.Member("three") = root.FindMember("one");
  EXPECT_EQ(root.FindMember("three").AsString(), one);
  EXPECT_EQ(one->RefCount(), 2u);
  Value other(root);
  const InternedString* copied = other.FindMember("one").AsString();
  EXPECT_NE(copied, one);
  EXPECT_TRUE(copied->IsStandalone());
  EXPECT_EQ(copied->View(), longText);
  EXPECT_EQ(copied->Hash(), Fnv1a(longText));
  EXPECT_EQ(other, root);

  root.Member("one").Reset();
  root.Member("three").SetString("x");
  EXPECT_EQ(other.FindMember("one").AsText(), longText);  // the trees stay apart
  EXPECT_EQ(root.FindMember("two").AsText(), longText);
}

TEST(ValueStrings, SettingATextTakenFromTheSameTree) {
  Value root;
  root.Member("x").SetString("keep me");
  root.SetString(root.FindMember("x").AsText());  // the old payload holds the text
  EXPECT_EQ(root.AsText(), "keep me");
  EXPECT_EQ(LiveStrings(root), 1u);

  Value other;
  other.Member("k").SetString("key text");
  other.Member(other.FindMember("k").AsText()).SetSigned(1);  // key from inside, no reshaping
  EXPECT_EQ(Keys(other), "k,key text");
  other.FindMember("k");
  Value& k = *other.MemberIfPresent("k");
  k.SetString("only held by k");
  k.SetString(k.AsText());  // self-assignment of a text
  EXPECT_EQ(other.FindMember("k").AsText(), "only held by k");
}

TEST(ValueCollections, ElementBeyondTheEndFillsWithEmpty) {
  Value v;
  v.Element(5).SetSigned(7);
  EXPECT_TRUE(v.IsCollection());
  ASSERT_EQ(v.Size(), 6u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(v.At(i).IsEmpty());
    EXPECT_FALSE(v.Elements()[i].IsOwner());
  }
  EXPECT_EQ(v.At(5).AsSigned(), 7);
  EXPECT_TRUE(v.At(6).IsEmpty());
  EXPECT_EQ(v.Size(), 6u);  // At never grows
}

TEST(ValueCollections, AppendKeepsEarlierElementsAcrossGrowth) {
  Value v;
  v.Reserve(4);  // not a collection yet: nothing happens
  EXPECT_TRUE(v.IsEmpty());
  for (int i = 0; i < 5000; ++i) v.Append().SetString("e" + std::to_string(i % 100));
  ASSERT_EQ(v.Size(), 5000u);
  for (int i = 0; i < 5000; i += 97) EXPECT_EQ(v.At(i).AsText(), "e" + std::to_string(i % 100));
  EXPECT_EQ(LiveStrings(v), 100u);
  v.MakeCollection();  // already one: unchanged
  EXPECT_EQ(v.Size(), 5000u);
  v.MakeStructure();
  EXPECT_EQ(v.Size(), 0u);
  EXPECT_EQ(LiveStrings(v), 0u);
}

TEST(ValueStructures, MembersIterateInByteOrderOfKeys) {
  Value v;
  for (const char* key : {"ab", "a", "B", "\xC3\xA9", "z", ""}) v.Member(key).SetString(key);
  EXPECT_EQ(Keys(v), ",B,a,ab,z,\xC3\xA9");  // unsigned bytes: 0xC3 after 'z'
  EXPECT_EQ(v.Size(), 6u);
  v.Member("a").SetSigned(1);  // existing member, no second one
  EXPECT_EQ(v.Size(), 6u);
  EXPECT_EQ(v.FindMember("a").AsSigned(), 1);
  EXPECT_EQ(v.FindMember("").AsText(), "");
  EXPECT_EQ(v.FindMember("").Kind(), ValueKind::String);
}

TEST(ValueStructures, KeysReusedAfterRemovalAndKeysSharingAPrefix) {
  Value v;
  v.Member("cached key").SetBool(true);
  EXPECT_TRUE(v.RemoveMember("cached key"));  // its record is gone
  EXPECT_EQ(LiveStrings(v), 0u);
  v.Member("cached key").SetBool(false);
  ASSERT_EQ(v.Size(), 1u);
  EXPECT_EQ(v.Members()[0].key().RefCount(), 1u);
  // Same length and first eight bytes: told apart by the whole text.
  v.Member("abcdefgh1").SetSigned(1);
  v.Member("abcdefgh2").SetSigned(2);
  v.Member("abcdefgh1").SetSigned(3);
  EXPECT_EQ(Keys(v), "abcdefgh1,abcdefgh2,cached key");
  EXPECT_EQ(v.FindMember("abcdefgh1").AsSigned(), 3);
  EXPECT_EQ(v.FindMember("abcdefgh2").AsSigned(), 2);
}

TEST(ValueStructures, FindMemberNeverInserts) {
  Value text;
  text.SetString("plain");
  const Value& found = text.FindMember("x");
  EXPECT_TRUE(found.IsEmpty());
  EXPECT_EQ(&found, &Value::EmptyValue());
  EXPECT_EQ(text.AsText(), "plain");

  Value s;
  s.Member("present").SetBool(true);
  EXPECT_TRUE(s.FindMember("absent").IsEmpty());
  EXPECT_EQ(s.MemberIfPresent("absent"), nullptr);
  EXPECT_EQ(s.Size(), 1u);
  EXPECT_TRUE(s.RemoveMember("present"));
  EXPECT_FALSE(s.RemoveMember("present"));
  EXPECT_TRUE(s.IsStructure());
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(LiveStrings(s), 0u);
}

TEST(ValueStructures, AppendedMembersBehaveLikeAssignedOnes) {
  Value v;
  v.MakeStructure();
  v.AppendMember("b").SetSigned(1);
  v.AppendMember("a").SetSigned(2);
  v.AppendMember("b").SetString("last b wins");
  v.AppendMember("c").SetSigned(4);
  // Const reads leave an unfinished structure as it is, so that threads may
  // share a value: the last of equal keys is found.
  const Value& shared = v;
  EXPECT_EQ(shared.FindMember("b").AsText(), "last b wins");
  EXPECT_EQ(shared.Members().size(), 4u);
  EXPECT_TRUE(shared.IsUnfinished());
  v.FinishMembers();
  EXPECT_FALSE(v.IsUnfinished());
  EXPECT_EQ(v.Size(), 3u);
  EXPECT_EQ(Keys(v), "a,b,c");
  EXPECT_EQ(v.FindMember("b").AsText(), "last b wins");
  // the dropped duplicate gave its key reference back
  EXPECT_EQ(v.Members()[1].key().RefCount(), 1u);
}

TEST(ValueStructures, MembersAppendedWithInternedKeys) {
  Value v;
  v.MakeStructure();
  const InternedString* b = v.InternKey("b");
  const InternedString* a = v.InternKey(std::string_view("a\0ignored", 9));
  EXPECT_EQ(a->View(), "a");
  v.AppendMember(b).SetSigned(1);
  v.AppendMember(a).SetSigned(2);
  v.AppendMember(b).SetSigned(3);  // a repeat: the last one wins, as with Member()
  EXPECT_EQ(b->RefCount(), 3u);    // the caller's count and both members'
  v.FinishMembers();
  EXPECT_EQ(Keys(v), "a,b");
  EXPECT_EQ(v.FindMember("b").AsSigned(), 3);
  EXPECT_EQ(b->RefCount(), 2u);
  v.ReleaseKey(a);
  v.ReleaseKey(b);
  EXPECT_EQ(v.Members()[1].key().RefCount(), 1u);

  // On a value of another kind, the first appended key makes it a Structure.
  Value s;
  s.SetString("was a text");
  const InternedString* k = s.InternKey("k");
  s.AppendMember(k).SetBool(true);
  s.ReleaseKey(k);
  EXPECT_EQ(Keys(s), "k");
  EXPECT_EQ(LiveStrings(s), 1u);
}

TEST(ValueStructures, MembersAppendedWithTheirOrderKnown) {
  Value v;
  const InternedString* a = v.InternKey("a");
  const InternedString* b = v.InternKey("b");
  const InternedString* c = v.InternKey("c");
  v.MakeStructure();
  v.ReserveMembers(1);  // the second append grows the block
  v.AppendMember(a, true).SetSigned(1);
  v.AppendMember(c, true).SetSigned(3);
  EXPECT_EQ(Keys(v), "a,c");
  // Out of order: the structure is sorted when finished, the last of a
  // repeated key kept.
  v.AppendMember(b, false).SetSigned(2);
  v.AppendMember(a, false).SetSigned(4);
  v.FinishMembers();
  EXPECT_EQ(Keys(v), "a,b,c");
  EXPECT_EQ(v.FindMember("a").AsSigned(), 4);
  EXPECT_EQ(a->RefCount(), 2u);  // the caller's count and the one member's
  // Into a value of another kind, the first member makes it a Structure.
  Value& text = v.Member("d");
  text.SetString("text");
  text.AppendMember(b, true).SetBool(true);
  EXPECT_EQ(Keys(text), "b");
  v.ReleaseKey(a);
  v.ReleaseKey(b);
  v.ReleaseKey(c);
  EXPECT_EQ(LiveStrings(v), 4u);  // a, b, c and d: "text" went when d became a structure
}

TEST(ValueStructures, ManyAppendedMembersMatchAnOrderedMap) {
  std::mt19937 random(1234);
  Value v;
  v.MakeStructure();
  std::map<std::string, int> expected;
  for (int i = 0; i < 3000; ++i) {
    std::string key = "k" + std::to_string(random() % 1500);
    v.AppendMember(key).SetSigned(i);
    expected[key] = i;
  }
  v.FinishMembers();
  ASSERT_EQ(v.Size(), expected.size());
  auto it = expected.begin();
  for (const ValueMember& m : v.Members()) {
    ASSERT_EQ(m.name(), it->first);
    ASSERT_EQ(m.value().AsSigned(), it->second);
    ++it;
  }
  EXPECT_EQ(LiveStrings(v), expected.size());
}

// A finished tree is shared by reading threads: no read changes it, so
// these run clean under the thread sanitizer and agree with each other.
TEST(ValueSharing, FinishedTreeReadFromManyThreads) {
  Value tree;
  for (int i = 0; i < 200; ++i) {
    Value& record = tree.Append();
    record.MakeStructure();
    for (int k = 9; k >= 0; --k) record.AppendMember("m" + std::to_string(k)).SetSigned(i * 10 + k);
    record.FinishMembers();
  }
  const Value& shared = tree;
  std::vector<std::thread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        for (std::size_t i = 0; i < shared.Size(); ++i) {
          const Value& record = shared.At(i);
          if (record.Size() != 10 || record.FindMember("m3").AsSigned() != static_cast<int64_t>(i) * 10 + 3 ||
              record.Members()[0].name() != "m0") {
            ++wrong;
          }
        }
        const Value copy(shared);
        if (!(copy == shared)) ++wrong;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ValueCopy, CopiesAcrossTreesAreIndependent) {
  Value a;
  BuildSample(a, 3);
  Value b;
  b.SetString("old");
  b = a;
  EXPECT_EQ(a, b);
  EXPECT_NE(a.Arena(), b.Arena());
  EXPECT_NE(a.FindMember("title").AsString(), b.FindMember("title").AsString());  // interned per tree

  b.Member("list").Element(1).Member("name").SetString("changed");
  b.Member("list").Append();
  EXPECT_EQ(a.FindMember("list").At(1).FindMember("name").AsText(), "n1");
  EXPECT_EQ(a.FindMember("list").Size(), 3u);
  a.Reset();
  EXPECT_EQ(b.FindMember("list").At(0).FindMember("name").AsText(), "n0");

  Value c(b);
  c = c;  // onto itself: nothing
  EXPECT_EQ(c, b);
}

TEST(ValueCopy, CopiedTextsAreSharedWithLaterOnes) {
  Value a;
  BuildSample(a, 50);  // "n0".."n49" are each held once
  Value b(a);
  ASSERT_EQ(LiveStrings(b), LiveStrings(a));
  b.Member("again").SetString("n17");
  b.Member("n17").SetBool(true);                  // the same text as a key
  EXPECT_EQ(LiveStrings(b), LiveStrings(a) + 1);  // only "again" is new
  const InternedString* copied = b.FindMember("list").At(17).FindMember("name").AsString();
  EXPECT_EQ(b.FindMember("again").AsString(), copied);
  EXPECT_EQ(copied->RefCount(), 3u);
  b.Member("list").Reset();
  b.Member("again").Reset();
  EXPECT_TRUE(b.RemoveMember("n17"));
  EXPECT_EQ(LiveStrings(b), 4u);  // the keys "list", "title", "again" and the text "t"
}

TEST(ValueCopy, CopiesWithinOneTreeInBothDirections) {
  Value root;
  BuildSample(root, 2);
  // A node onto a sibling and a parent into its own child. The target is
  // made first: inserting it may move the members the source lives in.
  Value& target = root.Member("copy");
  target = root.FindMember("list");
  EXPECT_EQ(root.FindMember("copy"), root.FindMember("list"));
  Value& first = root.Member("list").Element(0);
  first.Member("self") = root.FindMember("list");
  EXPECT_EQ(root.FindMember("list").At(0).FindMember("self").Size(), 2u);
  root = root.FindMember("copy");  // a root replaced by part of itself
  ASSERT_TRUE(root.IsCollection());
  EXPECT_EQ(root.At(1).FindMember("name").AsText(), "n1");
}

TEST(ValueMove, BetweenRootsExchangesContent) {
  Value a;
  BuildSample(a, 2);
  const ValueArena* arenaOfA = a.Arena();
  Value b;
  b.SetSigned(3);
  b = std::move(a);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(b.Arena(), arenaOfA);
  EXPECT_EQ(b.FindMember("title").AsText(), "t");
  Value c(std::move(b));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(c.FindMember("list").Size(), 2u);
  c = std::move(c);
  EXPECT_EQ(c.FindMember("list").Size(), 2u);
}

TEST(ValueMove, IntoAndOutOfTrees) {
  Value tree;
  Value part;
  BuildSample(part, 2);
  tree.Member("part") = std::move(part);  // root into a member: copied, source reset
  EXPECT_TRUE(part.IsEmpty());
  EXPECT_EQ(tree.FindMember("part").FindMember("list").Size(), 2u);
  EXPECT_FALSE(tree.FindMember("part").IsOwner());

  Value out = std::move(tree.Member("part"));  // member out into a root
  EXPECT_TRUE(tree.FindMember("part").IsEmpty());
  EXPECT_TRUE(out.IsOwner());
  EXPECT_EQ(out.FindMember("title").AsText(), "t");
  EXPECT_EQ(LiveStrings(tree), 1u);  // only the key "part" remains

  Value other;
  other.Member("x").SetString("from another tree");
  tree.Member("y") = std::move(other.Member("x"));
  EXPECT_TRUE(other.FindMember("x").IsEmpty());
  EXPECT_EQ(tree.FindMember("y").AsText(), "from another tree");
}

TEST(ValueMove, WithinOneTree) {
  Value root;
  BuildSample(root, 3);
  root.Member("moved") = std::move(root.Member("list").Element(2));
  EXPECT_TRUE(root.FindMember("list").At(2).IsEmpty());
  EXPECT_EQ(root.FindMember("moved").FindMember("name").AsText(), "n2");

  // A node replaced by one of its own children.
  Value& list = root.Member("list");
  list = std::move(list.Element(1));
  EXPECT_EQ(root.FindMember("list").FindMember("id").AsSigned(), 1);

  // A root replaced by one of its members.
  root = std::move(root.Member("moved"));
  EXPECT_EQ(root.FindMember("name").AsText(), "n2");
  EXPECT_EQ(LiveStrings(root), 3u);  // "id", "name", "n2"

  // A node moved into its own descendant: the source is reset, nothing dangles.
  Value tree;
  BuildSample(tree, 2);
  Value& inner = tree.Member("list").Element(0);
  inner.Member("deep").SetBool(true);
  tree.Member("list").Element(0).Member("deep") = std::move(tree.Member("list"));
  EXPECT_TRUE(tree.FindMember("list").IsEmpty());
  EXPECT_EQ(tree.FindMember("title").AsText(), "t");
  const Value walked(tree);  // a cycle would never end here
  EXPECT_EQ(walked, tree);
  EXPECT_EQ(LiveStrings(tree), 3u);  // "list", "title" and "t" are all that is left
}

TEST(ValueBlobs, CopyTakeAndAppend) {
  Value v;
  const uint8_t bytes[] = {1, 2, 0, 3};
  v.SetBlob(bytes, sizeof bytes);
  EXPECT_EQ(v.Kind(), ValueKind::Blob);
  ASSERT_EQ(v.Size(), 4u);
  EXPECT_EQ(std::memcmp(v.AsBlob().data(), bytes, 4), 0);
  const uint8_t fallback[] = {9};
  EXPECT_EQ(v.AsBlob(fallback).size(), 4u);

  Vector<uint8_t> owned(3000, 0xAB);
  v.TakeBlob(owned);
  EXPECT_TRUE(owned.empty());
  EXPECT_EQ(v.Size(), 3000u);
  EXPECT_EQ(v.AsBlob()[2999], 0xAB);

  Value grow;
  for (int i = 0; i < 100; ++i) {
    const uint8_t b = static_cast<uint8_t>(i);
    grow.AppendBlob(&b, 1);
  }
  const auto current = grow.AsBlob();
  grow.AppendBlob(current.data(), current.size());  // its own bytes, while it grows
  ASSERT_EQ(grow.Size(), 200u);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(grow.AsBlob()[i], static_cast<uint8_t>(i % 100));

  Value empty;
  empty.SetBlob(nullptr, 0);
  EXPECT_EQ(empty.Kind(), ValueKind::Blob);
  EXPECT_TRUE(empty.AsBlob(fallback).empty());  // a Blob: not the fallback
}

TEST(ValueEnums, CarryNumberAndTypeAcrossCopies) {
  static int marker;  // any stable address stands in for a type identity
  const auto* type = reinterpret_cast<const TypeId*>(&marker);
  Value v;
  v.Member("e").SetEnum(-3, type);
  Value copy(v);
  EXPECT_EQ(copy.FindMember("e").AsEnum().number, -3);
  EXPECT_EQ(copy.FindMember("e").AsEnum().type, type);
  EXPECT_EQ(copy.FindMember("e").Size(), 1u);
  EXPECT_EQ(copy, v);
  copy.Member("e").SetEnum(4, type);
  EXPECT_NE(copy, v);
}

TEST(ValueResults, FailedResultIsAnErrorStructure) {
  ValueResult r;
  EXPECT_TRUE(r.Succeeded());
  EXPECT_EQ(r.ErrorMessage(), "");
  r.Element(3).SetString("payload");
  r.Fail("Something went wrong.");
  EXPECT_FALSE(r.Succeeded());
  ASSERT_TRUE(r.IsStructure());
  ASSERT_EQ(r.Size(), 1u);
  EXPECT_EQ(r.Members()[0].name(), "error");
  EXPECT_EQ(r.ErrorMessage(), "Something went wrong.");

  r.Fail(r.ErrorMessage());  // the message lives in the result itself
  EXPECT_EQ(r.ErrorMessage(), "Something went wrong.");

  r.Member("error").SetSigned(5);
  EXPECT_EQ(r.ErrorMessage(), "");

  ValueResult moved(std::move(r));
  EXPECT_FALSE(moved.Succeeded());
  EXPECT_TRUE(r.Succeeded());
  EXPECT_TRUE(r.IsEmpty());
  moved.Clear();
  EXPECT_TRUE(moved.Succeeded());
  EXPECT_TRUE(moved.IsEmpty());
}

}  // namespace
}  // namespace kiv::binding
