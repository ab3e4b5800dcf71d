// Value: kinds, interned texts, collections and structures, copies and moves
// within and across trees, and the error structure of a result.
#include "value/value.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kiv::binding {
namespace {

std::string Keys(const Value& v) {
  std::string out;
  for (const ValueMember& m : v.Members()) out += "," + std::string(m.name());
  return out.empty() ? out : out.substr(1);
}

uint32_t LiveStrings(const Value& root) { return root.Arena() != nullptr ? root.Arena()->ReadStats().strings : 0; }

// {"list": [{"id": 0, "name": "n0"}, ...], "title": "t"}
void BuildSample(Value& root, int count) {
  for (int i = 0; i < count; ++i) {
    Value& item = root.Member("list").Append();
    item.Member("id").SetSigned(i);
    item.Member("name").SetString("n" + std::to_string(i));
  }
  root.Member("title").SetString("t");
}

TEST(ValueBasics, ScalarsReadBackOnlyAsTheirOwnKind) {
  Value v;
  EXPECT_TRUE(v.IsEmpty() && v.IsOwner() && v.AsBool(true) && v.Arena() == nullptr);
  v.SetSigned(-5);
  EXPECT_EQ(v.AsSigned(), -5);
  EXPECT_EQ(v.AsUnsigned(42), 42u);  // no conversion between kinds
  v.SetUnsigned(UINT64_MAX);
  EXPECT_EQ(v.AsUnsigned(), UINT64_MAX);
  v.SetFloat(-0.5);
  EXPECT_EQ(v.AsFloat(), -0.5);
  v.SetBool(true);
  v.SetString(static_cast<const char*>(nullptr));  // an empty text needs no arena
  EXPECT_EQ(v.AsString(), &InternedString::Empty());
  EXPECT_EQ(v.Arena(), nullptr);
}

TEST(ValueStrings, TextIsKeptUpToItsFirstZeroByte) {
  Value v;
  v.SetString(std::string("ab\0cd", 5));
  EXPECT_EQ(v.AsText(), "ab");
  v.Member(std::string_view("k\0x", 3)).SetBool(true);
  EXPECT_EQ(Keys(v), "k");
  // Long texts are copied and searched for the zero byte in one pass, by
  // words: every length around a word boundary, and a zero at every place.
  Value root;
  for (std::size_t length : {15u, 16u, 17u, 23u, 24u, 25u, 40u, 256u, 257u, 300u}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    root.Member("whole").SetString(text);
    ASSERT_EQ(root.FindMember("whole").AsText(), text) << length;
    for (std::size_t zero = 0; zero < length; ++zero) {
      std::string cut = text;
      cut[zero] = '\0';
      Value& place = root.Member("cut");
      place.SetString(cut);
      ASSERT_EQ(place.AsText(), text.substr(0, zero)) << length << " " << zero;
      ASSERT_EQ(place.AsString()->IsStandalone(), zero >= ValueArena::kSharedTextLimit) << length << " " << zero;
    }
  }
  EXPECT_EQ(LiveStrings(root), 2u);  // replaced texts left nothing behind: only the keys
}

TEST(ValueStrings, ShortTextsAreSharedPerTreeLongOnesStandAlone) {
  Value root;
  root.Member("a").Member("shared").SetString("same text");
  root.Member("list").Append().Member("shared").SetString("same text");
  const InternedString* text = root.FindMember("a").FindMember("shared").AsString();
  EXPECT_EQ(text, root.FindMember("list").At(0).FindMember("shared").AsString());
  EXPECT_EQ(text->RefCount(), 2u);
  const uint32_t before = LiveStrings(root);
  root.Member("a").Reset();
  root.Member("list").Reset();
  EXPECT_EQ(LiveStrings(root), before - 2);  // "shared" and "same text" are gone

  const std::string longText = "a text long enough to stay out of the table";
  root.Member("one").SetString(longText);
  root.Member("two").SetString(longText);
  const InternedString* one = root.FindMember("one").AsString();
  EXPECT_TRUE(one->IsStandalone());
  EXPECT_NE(one, root.FindMember("two").AsString());
  EXPECT_EQ(LiveStrings(root), before);  // only the keys "one" and "two" are new in the table
  // Copies within the tree share the record; copies into another tree get their own.
  root.Member("three") = root.FindMember("one");
  EXPECT_EQ(root.FindMember("three").AsString(), one);
  Value other(root);
  EXPECT_NE(other.FindMember("one").AsString(), one);
  root.Member("one").Reset();
  root.Member("three").SetString("x");
  EXPECT_EQ(other.FindMember("one").AsText(), longText);  // the trees stay apart
  // A text or key taken from the same tree, while the old payload still holds it.
  root.SetString(root.FindMember("two").AsText());
  EXPECT_EQ(root.AsText(), longText);
  Value keys;
  keys.Member("k").SetString("key text");
  keys.Member(keys.FindMember("k").AsText()).SetSigned(1);
  EXPECT_EQ(Keys(keys), "k,key text");
  keys.Member("k").SetString(keys.FindMember("k").AsText());
  EXPECT_EQ(keys.FindMember("k").AsText(), "key text");
}

TEST(ValueStrings, ShortTextsPastTheTableLimitReadCopyAndReleaseLikeSharedOnes) {
  Value root;
  Value& list = root.Member("list");
  const uint32_t limit = ValueArena::kShortTextTableLimit;
  for (uint32_t i = 0; i < limit + 100; ++i) list.Append().SetString("t" + std::to_string(i));
  EXPECT_EQ(LiveStrings(root), limit);  // the later texts stayed out of the table
  const InternedString* late = list.At(limit + 50).AsString();
  EXPECT_TRUE(late->IsStandalone());
  EXPECT_EQ(late->View(), "t" + std::to_string(limit + 50));
  EXPECT_EQ(late->Hash(), TextHash(late->View()));
  list.Append().SetString(std::string("t1\0tail", 7));
  EXPECT_EQ(list.At(limit + 100).AsText(), "t1");
  Value copy(root);
  EXPECT_TRUE(copy == root);
  EXPECT_EQ(copy.FindMember("list").At(limit + 50).AsText(), late->View());
  list.Reset();
  EXPECT_EQ(LiveStrings(root), 1u);  // only the key "list"
  EXPECT_EQ(copy.FindMember("list").At(limit + 99).AsText(), "t" + std::to_string(limit + 99));
}

TEST(ValueCollections, ElementsGrowWithEmptiesAndKeepTheirContent) {
  Value v;
  v.Element(5).SetSigned(7);
  ASSERT_EQ(v.Size(), 6u);
  EXPECT_TRUE(v.At(4).IsEmpty() && !v.Elements()[4].IsOwner());
  Value list;
  for (int i = 0; i < 5000; ++i) list.Append().SetString("e" + std::to_string(i % 100));
  for (int i = 0; i < 5000; i += 97) EXPECT_EQ(list.At(i).AsText(), "e" + std::to_string(i % 100));
  EXPECT_EQ(LiveStrings(list), 100u);
  list.MakeStructure();
  EXPECT_EQ(LiveStrings(list), 0u);
}

TEST(ValueStructures, MembersAreFoundAndIterateInByteOrderOfKeys) {
  Value v;
  for (const char* key : {"ab", "a", "B", "\xC3\xA9", "z", ""}) v.Member(key).SetString(key);
  EXPECT_EQ(Keys(v), ",B,a,ab,z,\xC3\xA9");  // unsigned bytes: 0xC3 after 'z'
  v.Member("a").SetSigned(1);                // existing member, no second one
  v.Member("abcdefgh1").SetSigned(1);        // same length and first eight bytes: told apart by the whole text
  v.Member("abcdefgh2").SetSigned(2);
  EXPECT_EQ(v.FindMember("abcdefgh1").AsSigned(), 1);
  EXPECT_EQ(v.Size(), 8u);
  Value text;
  text.SetString("plain");
  EXPECT_EQ(&text.FindMember("x"), &Value::EmptyValue());  // FindMember never inserts
  EXPECT_EQ(v.MemberIfPresent("absent"), nullptr);
  EXPECT_TRUE(v.RemoveMember("a"));
  EXPECT_FALSE(v.RemoveMember("a"));
  Value s;
  s.Member("gone").SetBool(true);
  EXPECT_TRUE(s.RemoveMember("gone"));
  EXPECT_EQ(LiveStrings(s), 0u);  // the key's record went with the member
}

TEST(ValueStructures, AppendedMembersAreSortedOnceWithTheLastOfARepeatKept) {
  Value v;
  v.MakeStructure();
  v.AppendMember("b").SetSigned(1);
  v.AppendMember("a").SetSigned(2);
  v.AppendMember("b").SetString("last b wins");
  // Const reads leave an unfinished structure as it is, so that threads may
  // share a value: the last of equal keys is found.
  const Value& shared = v;
  EXPECT_EQ(shared.FindMember("b").AsText(), "last b wins");
  v.FinishMembers();
  EXPECT_EQ(Keys(v), "a,b");
  EXPECT_EQ(v.FindMember("b").AsText(), "last b wins");
  EXPECT_EQ(v.Members()[1].key().RefCount(), 1u);  // the dropped repeat gave its key back
  // With interned keys, and with the order known while the keys ascend.
  Value w;
  const InternedString* a = w.InternKey(std::string_view("a\0ignored", 9));
  const InternedString* b = w.InternKey("b");
  const InternedString* c = w.InternKey("c");
  w.MakeStructure();
  w.ReserveMembers(1);  // the second append grows the block
  w.AppendMember(a, true).SetSigned(1);
  w.AppendMember(c, true).SetSigned(3);
  w.AppendMember(b, false).SetSigned(2);
  w.AppendMember(a).SetSigned(4);
  w.FinishMembers();
  EXPECT_EQ(Keys(w), "a,b,c");
  EXPECT_EQ(w.FindMember("a").AsSigned(), 4);
  Value& text = w.Member("d");  // into a value of another kind, the first member makes it a Structure
  text.SetString("text");
  text.AppendMember(b, true).SetBool(true);
  EXPECT_EQ(Keys(text), "b");
  for (const InternedString* key : {a, b, c}) w.ReleaseKey(key);
  EXPECT_EQ(LiveStrings(w), 4u);  // a, b, c and d: "text" went when d became a structure
}

// A finished tree is shared by reading threads: no read changes it, so these
// run clean under the thread sanitizer and agree with each other.
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
        if (!(Value(shared) == shared)) ++wrong;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ValueCopy, CopiesAcrossTreesAreIndependentAndShareLaterTexts) {
  Value a;
  BuildSample(a, 50);
  Value b;
  b.SetString("old");
  b = a;
  EXPECT_EQ(a, b);
  EXPECT_NE(a.Arena(), b.Arena());
  b.Member("list").Element(1).Member("name").SetString("changed");
  EXPECT_EQ(a.FindMember("list").At(1).FindMember("name").AsText(), "n1");
  b.Member("again").SetString("n17");  // texts copied into the tree are shared with texts set later
  EXPECT_EQ(b.FindMember("again").AsString(), b.FindMember("list").At(17).FindMember("name").AsString());
  a.Reset();
  EXPECT_EQ(b.FindMember("list").At(0).FindMember("name").AsText(), "n0");
  Value c(b);
  c = c;  // onto itself: nothing
  EXPECT_EQ(c, b);
  // Empty containers copy into fresh roots, which have no arena yet.
  Value empties;
  empties.Member("list").MakeCollection();
  empties.Member("object").MakeStructure();
  EXPECT_TRUE(Value(empties.FindMember("list")).IsCollection());
  EXPECT_TRUE(Value(empties.FindMember("object")).IsStructure());
  // Within one tree, in both directions. The target is made first: inserting
  // it may move the members the source lives in.
  Value root;
  BuildSample(root, 2);
  Value& target = root.Member("copy");
  target = root.FindMember("list");
  EXPECT_EQ(root.FindMember("copy"), root.FindMember("list"));
  root.Member("list").Element(0).Member("self") = root.FindMember("list");  // a parent into its own child
  EXPECT_EQ(root.FindMember("list").At(0).FindMember("self").Size(), 2u);
  root = root.FindMember("copy");  // a root replaced by part of itself
  EXPECT_EQ(root.At(1).FindMember("name").AsText(), "n1");
}

TEST(ValueMove, BetweenRootsIntoAndOutOfTreesAndWithinOne) {
  Value a;
  BuildSample(a, 3);
  const ValueArena* arenaOfA = a.Arena();
  Value b(std::move(a));
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(b.Arena(), arenaOfA);  // between roots: exchanged, not copied
  Value tree;
  tree.Member("part") = std::move(b);  // a root into a member: copied, source reset
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_FALSE(tree.FindMember("part").IsOwner());
  Value out = std::move(tree.Member("part"));  // a member out into a root
  EXPECT_TRUE(tree.FindMember("part").IsEmpty() && out.IsOwner());
  EXPECT_EQ(LiveStrings(tree), 1u);  // only the key "part" remains
  out.Member("moved") = std::move(out.Member("list").Element(2));
  EXPECT_TRUE(out.FindMember("list").At(2).IsEmpty());
  Value& list = out.Member("list");
  list = std::move(list.Element(1));  // a node replaced by one of its own children
  EXPECT_EQ(out.FindMember("list").FindMember("id").AsSigned(), 1);
  out = std::move(out.Member("moved"));  // a root replaced by one of its members
  EXPECT_EQ(out.FindMember("name").AsText(), "n2");
  EXPECT_EQ(LiveStrings(out), 3u);  // "id", "name", "n2"
  // A node moved into its own descendant: the source is reset, nothing dangles.
  Value cycle;
  BuildSample(cycle, 2);
  cycle.Member("list").Element(0).Member("deep") = std::move(cycle.Member("list"));
  EXPECT_TRUE(cycle.FindMember("list").IsEmpty());
  EXPECT_EQ(Value(cycle), cycle);     // a cycle would never end here
  EXPECT_EQ(LiveStrings(cycle), 3u);  // "list", "title" and "t" are all that is left
}

TEST(ValueBlobsAndEnums, CopyTakeAppendAndCompare) {
  Value v;
  Vector<uint8_t> owned(3000, 0xAB);
  v.TakeBlob(owned);
  EXPECT_TRUE(owned.empty());
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
  static int marker;  // any stable address stands in for a type identity
  const auto* type = reinterpret_cast<const TypeId*>(&marker);
  Value e;
  e.Member("e").SetEnum(-3, type);
  Value copy(e);
  EXPECT_EQ(copy.FindMember("e").AsEnum().type, type);
  EXPECT_EQ(copy, e);
  copy.Member("e").SetEnum(4, type);
  EXPECT_NE(copy, e);
}

TEST(ValueResults, FailedResultIsAnErrorStructure) {
  ValueResult r;
  EXPECT_TRUE(r.Succeeded());
  r.Element(3).SetString("payload");
  r.Fail("Something went wrong.");
  EXPECT_EQ(Keys(r), "error");
  r.Fail(r.ErrorMessage());  // the message lives in the result itself
  EXPECT_EQ(r.ErrorMessage(), "Something went wrong.");
  r.Member("error").SetSigned(5);
  EXPECT_EQ(r.ErrorMessage(), "");
  ValueResult moved(std::move(r));
  EXPECT_FALSE(moved.Succeeded());
  EXPECT_TRUE(r.Succeeded() && r.IsEmpty());
  moved.Clear();
  EXPECT_TRUE(moved.Succeeded() && moved.IsEmpty());
}

}  // namespace
}  // namespace kiv::binding
