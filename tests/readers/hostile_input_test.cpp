// Documents built to hurt the process that reads them: each must end with
// the bound it hits (or read correctly where the shape is only unusual), and
// what reading it cost is asserted through the allocation counters and the
// pages the value arenas took, never through wall time.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "logging/memory.h"
#include "readers/json_reader.h"
#include "readers/msgpack_reader.h"
#include "readers/tree_builder.h"
#include "readers/yaml_reader.h"
#include "value/arena.h"

namespace kiv::codecs {
namespace {

using binding::PageRegistry;
using binding::Value;
using binding::ValueResult;

enum class Format { kJson, kMessagePack, kYaml };

struct Attack {
  const char* name;
  Format format;
  std::function<std::string()> make;
  // The start of the failure message, or null when the document must read.
  const char* error;
  // What reading may cost: bytes from the heap plus arena pages, as a
  // multiple of the input plus the builder's allowance.
  std::size_t costPerInputByte;
};

ValueResult ReadAs(Format format, const std::string& input) {
  switch (format) {
    case Format::kJson:
      return ReadJson(input);
    case Format::kMessagePack: {
      std::size_t consumed = 0;
      return ReadMessagePack(input, &consumed);
    }
    case Format::kYaml:
      return ReadYaml(input);
  }
  return ValueResult();
}

std::string Repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string Key(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "k%06d", i);
  return name;
}

// MessagePack pieces.
std::string MpStr(const std::string& text) { return std::string(1, static_cast<char>(0xa0 | text.size())) + text; }
std::string MpMap32(uint32_t count) {
  return std::string{static_cast<char>(0xdf), static_cast<char>(count >> 24), static_cast<char>(count >> 16),
                     static_cast<char>(count >> 8), static_cast<char>(count)};
}

// An object of `count` members named in falling order, one repeated first.
std::string JsonFallingKeys(int count) {
  std::string text = "{\"" + Key(count) + "\":0,\"" + Key(count) + "\":1";
  for (int i = count - 1; i >= 0; --i) text += ",\"" + Key(i) + "\":" + std::to_string(i);
  return text + "}";
}

std::string MpFallingKeys(int count) {
  std::string bytes =
      MpMap32(static_cast<uint32_t>(count) + 1) + MpStr(Key(count)) + '\x00' + MpStr(Key(count)) + '\x01';
  for (int i = count - 1; i >= 0; --i) bytes += MpStr(Key(i)) + '\x02';
  return bytes;
}

std::string YamlFallingKeys(int count) {
  std::string text;
  for (int i = count; i >= 0; --i) text += Key(i) + ": 1\n";
  return text;
}

const std::vector<Attack>& Attacks() {
  static const std::vector<Attack> attacks = {
      // Nesting past the bound, a million levels deep, stops at the bound.
      {"json arrays", Format::kJson, [] { return std::string(1000000, '['); },
       "Error: Arrays and objects are nested deeper than 511 levels. at offset 511.", 2},
      {"json objects", Format::kJson, [] { return Repeat("{\"k\":", 200000); },
       "Error: Arrays and objects are nested deeper than 511 levels. at offset 2555.", 2},
      {"msgpack arrays and maps", Format::kMessagePack, [] { return Repeat("\x91\x81\xa1k", 300000); },
       "Invalid MessagePack data at position", 2},
      {"yaml flow", Format::kYaml, [] { return std::string(1000000, '['); },
       "YAML nesting is deeper than 511 levels. At line: 1 col: 512", 2},
      {"yaml aliases stacked deeper than the text", Format::kYaml,
       [] {
         return "a: &a " + std::string(400, '[') + std::string(400, ']') + "\nb: " + std::string(300, '[') + "*a" +
                std::string(300, ']') + "\n";
       },
       "YAML nesting is deeper than 511 levels. At line: 2 col: 304", 4},
      // Headers that claim four billion entries reserve nothing large.
      {"msgpack claimed counts", Format::kMessagePack,
       [] {
         std::string bytes;
         for (int i = 0; i < 400; ++i)
           bytes += i % 2 == 0 ? std::string("\xdd\xff\xff\xff\xff", 5) : MpMap32(~0u) + MpStr("k");
         return bytes;
       },
       "Invalid MessagePack data. Map of size 4294967295", 16},
      {"msgpack claimed string", Format::kMessagePack, [] { return std::string("\xdb\xff\xff\xff\xff", 5); },
       "Invalid MessagePack data. String of size 4294967295", 16},
      // Aliases: nine levels of ten (a billion nodes), a 4 KB scalar behind
      // 30,000 aliases, and the same through anchored keys.
      {"yaml billion laughs", Format::kYaml,
       [] {
         std::string text = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
         for (int i = 1; i < 10; ++i) {
           text += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
           for (int j = 0; j < 10; ++j) text += (j ? ", *a" : "*a") + std::to_string(i - 1);
           text += "]\n";
         }
         return text;
       },
       "Excessive aliasing: YAML aliases build more than the text's size allows. Alias \"a", 64},
      {"yaml aliases of a long scalar", Format::kYaml,
       [] { return "a: &a " + std::string(4096, 'x') + "\nb: [" + Repeat("*a, ", 30000) + "*a]\n"; },
       "Excessive aliasing: YAML aliases build more than the text's size allows. Alias \"a\"", 64},
      {"yaml aliases of a long key", Format::kYaml,
       [] {
         std::string text = "m:\n  ? &k " + std::string(4096, 'y') + "\n  : 0\nl:\n";
         for (int i = 0; i < 30000; ++i) text += "  - {*k : " + std::to_string(i) + "}\n";
         return text;
       },
       "Excessive aliasing: YAML aliases build more than the text's size allows. Alias \"k\"", 64},
      // Merging into a large object again and again costs its size each time.
      {"json reopened object", Format::kJson,
       [] {
         std::string text = "{\"a\":{";
         for (int i = 0; i < 100; ++i) text += (i ? ",\"" : "\"") + Key(i) + "\":1";
         return text + "}" + Repeat(",\"a\":{}", 20000) + "}";
       },
       "Error: Repeated member names build more than the document's size allows. at offset", 64},
      {"msgpack reopened map", Format::kMessagePack,
       [] {
         std::string bytes = MpMap32(20001) + MpStr("a") + MpMap32(100);
         for (int i = 0; i < 100; ++i) bytes += MpStr(Key(i)) + '\x01';
         for (int i = 0; i < 20000; ++i) bytes += MpStr("a") + std::string("\x81\xa1z\x01", 4);
         return bytes;
       },
       "Invalid MessagePack data at position", 64},
      {"yaml reopened mapping", Format::kYaml,
       [] {
         std::string text = "a:\n";
         for (int i = 0; i < 100; ++i) text += "  " + Key(i) + ": 1\n";
         return text + Repeat("a: {x: 1}\n", 20000);
       },
       "YAML mapping keys repeat too often in large mappings.", 64},
      // Shapes that used to be quadratic read in linear time and memory.
      {"json falling keys", Format::kJson, [] { return JsonFallingKeys(120000); }, nullptr, 24},
      {"msgpack falling keys", Format::kMessagePack, [] { return MpFallingKeys(120000); }, nullptr, 24},
      {"yaml falling keys", Format::kYaml, [] { return YamlFallingKeys(60000); }, nullptr, 24},
  };
  return attacks;
}

class HostileDocument : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HostileDocument, HitsItsBoundAtBoundedCost) {
  const Attack& attack = Attacks()[GetParam()];
  const std::string input = attack.make();
  // Once to warm what the process keeps (the page registry's region table
  // grows once), then measured.
  (void)ReadAs(attack.format, input);
  PageRegistry& registry = PageRegistry::Instance();
  const uint64_t pagesBefore = registry.ReadStats().pagesTaken;
  const uint64_t heapBefore = mem::ReadAllocationStats().bytesAllocated;
  const uint64_t liveBefore = mem::OutstandingAllocations();
  {
    const ValueResult result = ReadAs(attack.format, input);
    if (attack.error == nullptr) {
      ASSERT_TRUE(result.Succeeded()) << attack.name << ": " << result.ErrorMessage();
      // Keys in falling order, one repeated: every member once, in key order.
      const auto members = result.Members();
      ASSERT_GT(members.size(), 1000u) << attack.name;
      for (std::size_t i = 1; i < members.size(); ++i) {
        ASSERT_LT(members[i - 1].name(), members[i].name()) << attack.name << " at " << i;
      }
      if (attack.format != Format::kYaml) {
        const Value& repeated = result.FindMember(Key(120000));  // first 0, then 1
        EXPECT_EQ(repeated.AsUnsigned(0) + static_cast<uint64_t>(repeated.AsSigned(0)), 1u);
      }
    } else {
      ASSERT_FALSE(result.Succeeded()) << attack.name;
      EXPECT_EQ(result.ErrorMessage().rfind(attack.error, 0), 0u) << attack.name << ": " << result.ErrorMessage();
    }
  }
  const uint64_t cost = (registry.ReadStats().pagesTaken - pagesBefore) * PageRegistry::kPageSize +
                        (mem::ReadAllocationStats().bytesAllocated - heapBefore);
  const uint64_t allowed = attack.costPerInputByte * (input.size() + kTreeNodeAllowance) + kTreeTextAllowance;
  EXPECT_LE(cost, allowed) << attack.name << ": " << input.size() << " input bytes";
  EXPECT_EQ(mem::OutstandingAllocations(), liveBefore) << attack.name;
}

INSTANTIATE_TEST_SUITE_P(Readers, HostileDocument, ::testing::Range<std::size_t>(0, Attacks().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           std::string name = Attacks()[info.param].name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// At the bound a tree reads, in every format; one level more does not.
TEST(HostileDocument, DepthBoundIsExact) {
  const std::size_t n = kMaxContainerDepth;
  const std::string json = std::string(n, '[') + "1" + std::string(n, ']');
  const std::string yaml = std::string(n, '[') + "1" + std::string(n, ']');
  const std::string msgpack = std::string(n, '\x91') + '\x01';
  for (const auto& [format, text] :
       {std::pair{Format::kJson, json}, std::pair{Format::kYaml, yaml}, std::pair{Format::kMessagePack, msgpack}}) {
    const ValueResult deep = ReadAs(format, text);
    ASSERT_TRUE(deep.Succeeded()) << deep.ErrorMessage();
    const Value* v = &deep;
    for (std::size_t i = 0; i < n; ++i) v = &v->At(0);
    EXPECT_EQ(v->AsUnsigned(0) + static_cast<uint64_t>(v->AsSigned(0)), 1u);
  }
  EXPECT_FALSE(ReadJson(std::string(n + 1, '[') + std::string(n + 1, ']')).Succeeded());
  EXPECT_FALSE(ReadYaml(std::string(n + 1, '[') + std::string(n + 1, ']')).Succeeded());
  EXPECT_FALSE(ReadMessagePack(std::string(n + 1, '\x91') + '\x01').Succeeded());
}

// Readers keep their stacks and indexes for the next document: what they
// keep stays small after a wide, deep document, and a small document read
// next reserves like a small document, not like the one before it.
TEST(HostileDocument, WhatOutlivesADocumentIsSmall) {
  const auto inUse = [] {
    const mem::AllocationStats stats = mem::ReadAllocationStats();
    return static_cast<int64_t>(stats.bytesAllocated - stats.bytesFreed);
  };
  const std::string small = R"([[], [{"a": {}}], [[[]]]])";
  ASSERT_TRUE(ReadJson(small).Succeeded());  // what is kept exists
  const int64_t keptBefore = inUse();
  std::string large = "[[";
  for (int i = 0; i < 60000; ++i) large += i == 0 ? "1" : ",1";
  large += "], [{";
  for (int i = 0; i < 5000; ++i) large += (i == 0 ? "\"" : ",\"") + Key(i) + "\":{\"" + Key(i + 1) + "\":[1]}";
  large += "}], " + std::string(400, '[') + std::string(400, ']') + "]";
  ASSERT_TRUE(ReadJson(large).Succeeded());
  EXPECT_LE(inUse() - keptBefore, int64_t{16} << 10) << "bytes kept past the large document";

  PageRegistry& registry = PageRegistry::Instance();
  const uint64_t pagesBefore = registry.ReadStats().pagesTaken;
  const uint64_t heapBefore = mem::ReadAllocationStats().bytesAllocated;
  const ValueResult next = ReadJson(small);
  ASSERT_TRUE(next.Succeeded());
  EXPECT_LE(registry.ReadStats().pagesTaken - pagesBefore, 2u);
  EXPECT_LE(mem::ReadAllocationStats().bytesAllocated - heapBefore, uint64_t{16} << 10);
}

// A repeated name still merges, wherever it falls among many names.
TEST(HostileDocument, RepeatsMergeAtAnyPosition) {
  std::string json = "{";
  for (int i = 40; i > 0; --i) json += "\"" + Key(i) + "\":{\"x\":" + std::to_string(i) + "},";
  json += "\"" + Key(7) + "\":{\"y\":1},\"" + Key(39) + "\":null,\"" + Key(3) + "\":2}";
  const ValueResult r = ReadJson(json);
  ASSERT_TRUE(r.Succeeded()) << r.ErrorMessage();
  EXPECT_EQ(r.Size(), 40u);
  EXPECT_EQ(r.FindMember(Key(7)).FindMember("x").AsUnsigned(), 7u);
  EXPECT_EQ(r.FindMember(Key(7)).FindMember("y").AsUnsigned(), 1u);
  EXPECT_EQ(r.FindMember(Key(39)).FindMember("x").AsUnsigned(), 39u);  // a later null keeps the value
  EXPECT_EQ(r.FindMember(Key(3)).AsUnsigned(), 2u);
}

}  // namespace
}  // namespace kiv::codecs
