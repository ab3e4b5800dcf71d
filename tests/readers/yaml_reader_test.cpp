// The YAML reader: scalar resolution and tags, mappings and repeated keys,
// anchors and aliases, and failures with their positions.
#include "readers/yaml_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace kiv {
namespace {

using binding::Value;
using binding::ValueKind;
using binding::ValueResult;
using codecs::ReadYaml;

std::string ErrorOf(std::string_view text) {
  const ValueResult r = ReadYaml(text);
  EXPECT_FALSE(r.Succeeded()) << text;
  return std::string(r.ErrorMessage());
}

ValueResult Read(std::string_view text) {
  ValueResult r = ReadYaml(text);
  EXPECT_TRUE(r.Succeeded()) << text << " -> " << r.ErrorMessage();
  return r;
}

std::string TextOf(const Value& v) { return std::string(v.AsText("<not a string>")); }

TEST(YamlScalars, NullsNumbersAndTextsThatOnlyLookLikeNumbers) {
  for (const char* text : {"", "# only a comment\n   # and another\n", "---\n", "~", "null", "Null", "NULL"}) {
    EXPECT_TRUE(Read(text).IsEmpty()) << text;
  }
  EXPECT_EQ(Read("42").AsUnsigned(), 42u);
  EXPECT_EQ(Read("007").AsUnsigned(), 7u);  // decimal, never octal
  EXPECT_DOUBLE_EQ(Read("-.25").AsFloat(), -0.25);
  // Integral numbers become integers whatever their spelling.
  EXPECT_EQ(Read("1e3").AsUnsigned(), 1000u);
  EXPECT_EQ(Read("-2.0").AsSigned(), -2);
  EXPECT_EQ(Read("0x1F").AsUnsigned(), 31u);
  EXPECT_EQ(Read("-0").Kind(), ValueKind::Unsigned);
  EXPECT_EQ(Read("1e-400").Kind(), ValueKind::Unsigned);  // underflows to zero
  EXPECT_TRUE(std::isnan(Read("nan").AsFloat(0.0)));
  // Decimal integers are exact up to the end of their 64-bit kind; beyond it
  // the value stays a Float instead of a wrapped or saturated integer.
  EXPECT_EQ(Read("9007199254740993").AsUnsigned(), 9007199254740993u);
  EXPECT_EQ(Read("18446744073709551615").AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(Read("-9223372036854775808").AsSigned(), INT64_MIN);
  EXPECT_DOUBLE_EQ(Read("18446744073709551616").AsFloat(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ(Read("-9223372036854775809").AsFloat(), -9223372036854775808.0);
  EXPECT_EQ(Read("-1e400").AsFloat(), -HUGE_VAL);
  EXPECT_EQ(Read("9007199254740993.0").AsUnsigned(), 9007199254740992u);  // a fraction goes through the double
  // Infinity is no number, and neither are texts that only begin like one.
  for (const char* text : {"nULL", "inf", "1e400", ".inf", "1_000", "12:30", "2024-01-01", "1e", "0x", "+", "+-1",
                           "0x-1", "1.2.3", "0xinf", "tRUE", "hello"}) {
    EXPECT_EQ(TextOf(Read(text)), text);
  }
}

TEST(YamlScalars, DecimalsReadAsTheCLibraryReadsThem) {
  // Short decimals take a quicker way than long ones; both must give what
  // strtod gives, to the last bit, and the same kind.
  std::mt19937_64 random(20240601);
  for (int round = 0; round < 20000; ++round) {
    std::string text = random() % 2 == 0 ? "-" : "";
    const int whole = 1 + static_cast<int>(random() % 10);
    const int fraction = static_cast<int>(random() % 12);
    for (int i = 0; i < whole; ++i) text += static_cast<char>('0' + random() % 10);
    if (fraction != 0) text += '.';
    for (int i = 0; i < fraction; ++i) text += static_cast<char>('0' + random() % 10);
    if (fraction == 0 || random() % 3 == 0) {
      text += random() % 2 == 0 ? 'e' : 'E';
      text += std::to_string(static_cast<int>(random() % 61) - 30);
    }
    const double expected = std::strtod(text.c_str(), nullptr);
    const ValueResult v = Read(text);
    if (expected == std::trunc(expected) && expected >= 0 && expected < 18446744073709551616.0) {
      ASSERT_EQ(v.Kind(), ValueKind::Unsigned) << text;
      EXPECT_EQ(v.AsUnsigned(), static_cast<uint64_t>(expected)) << text;
    } else if (expected == std::trunc(expected) && expected < 0 && expected >= -9223372036854775808.0) {
      ASSERT_EQ(v.Kind(), ValueKind::Signed) << text;
      EXPECT_EQ(v.AsSigned(), static_cast<int64_t>(expected)) << text;
    } else {
      ASSERT_EQ(v.Kind(), ValueKind::Float) << text;
      EXPECT_EQ(v.AsFloat(), expected) << text;
    }
  }
  // Exactly at the bounds of the quick way, and just beyond them.
  for (const char* text : {"9007199254740.993", "9007199254740.995", "1.5e-22", "1.5e-23", "0.1234567890123456789"}) {
    EXPECT_EQ(Read(text).AsFloat(), std::strtod(text, nullptr)) << text;
  }
  EXPECT_EQ(Read("4.2e0001").AsUnsigned(), 42u);
}

TEST(YamlScalars, BoolWordsQuotingAndBlockStyles) {
  for (const char* word : {"true", "True", "TRUE", "y", "Yes", "on", "ON"})
    EXPECT_TRUE(Read(word).AsBool(false)) << word;
  for (const char* word : {"false", "N", "no", "NO", "off", "Off"}) EXPECT_FALSE(Read(word).AsBool(true)) << word;
  EXPECT_EQ(TextOf(Read("'42'")), "42");
  EXPECT_EQ(TextOf(Read("\"caf\\u00e9 \\\"q\\\" \\n\"")), "caf\xC3\xA9 \"q\" \n");
  // Literal and folded scalars are resolved like plain ones, on their whole text.
  EXPECT_EQ(TextOf(Read("|\n  42\n")), "42\n");
  EXPECT_EQ(Read("|-\n  42\n").AsUnsigned(), 42u);
  EXPECT_EQ(TextOf(Read(">\n  a\n  b\n")), "a b\n");
}

TEST(YamlTags, CoreTagsAndTheirFailures) {
  EXPECT_EQ(Read("!!int -12").AsSigned(), -12);
  EXPECT_EQ(Read("!!int 0x10").AsUnsigned(), 16u);
  EXPECT_EQ(Read("!!int '18446744073709551615'").AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(Read("!!int ''").AsUnsigned(), 0u);
  EXPECT_EQ(TextOf(Read("!!str 12")), "12");
  EXPECT_EQ(TextOf(Read("!<tag:yaml.org,2002:str> true")), "true");
  EXPECT_TRUE(Read("!!bool yes").AsBool());
  EXPECT_EQ(Read("!!float 2").Kind(), ValueKind::Float);
  EXPECT_TRUE(std::isnan(Read("!!float nan").AsFloat(0.0)));
  EXPECT_TRUE(Read("!!set {a: 1}").IsStructure());  // tags on collections are not looked at
  EXPECT_EQ(ErrorOf("!!int 12abc"), "Value 12abc for 'yaml' of type uint64_t is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!int 08"), "Value 08 for 'yaml' of type uint64_t is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!int 18446744073709551616"),
            "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range");
  EXPECT_EQ(ErrorOf("!!int -9223372036854775809"),
            "Value -9223372036854775809 for 'yaml' of type int64_t is out of range");
  EXPECT_EQ(ErrorOf("!!float abc"), "Value abc for 'yaml' of type double is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!float -inf"), "Value -inf for 'yaml' of type double is out of range");
  EXPECT_EQ(ErrorOf("!!bool maybe"), "Value maybe for 'yaml' of type bool is in an incorrect format");
  EXPECT_EQ(ErrorOf("a: !!binary aGVsbG8="), "Unsupported YAML tag 'tag:yaml.org,2002:binary'.");
  EXPECT_EQ(ErrorOf("[!custom x]"), "Unsupported YAML tag '!custom'.");
}

TEST(YamlMappings, MembersNestingAndKeys) {
  const ValueResult v = Read(
      "id: 17\nname: \"Ann\"\ntags: [a, 2, ~]\nauthor:\n  since: 2021-03-04T05:06:07Z\n"
      "empty: {}\nnone: []\n");
  EXPECT_EQ(v.Size(), 6u);
  EXPECT_EQ(v.FindMember("id").AsUnsigned(), 17u);
  const Value& tags = v.FindMember("tags");
  EXPECT_EQ(TextOf(tags.At(0)), "a");
  EXPECT_EQ(tags.At(1).AsUnsigned(), 2u);
  EXPECT_TRUE(tags.At(2).IsEmpty());
  EXPECT_EQ(TextOf(v.FindMember("author").FindMember("since")), "2021-03-04T05:06:07Z");
  EXPECT_TRUE(v.FindMember("empty").IsStructure());
  EXPECT_TRUE(v.FindMember("none").IsCollection());
  const ValueResult flow = Read("{a, b: }");  // a key without a value holds Empty
  EXPECT_EQ(flow.Size(), 2u);
  EXPECT_TRUE(flow.FindMember("a").IsEmpty());
  // Keys stay texts; empty keys are members too; a zero byte ends a key.
  const ValueResult keys = Read("{1: a, true: b, ~: c, 1.50: d, !!str 7: e, \"\": f}");
  for (const char* key : {"1", "true", "~", "1.50", "7", ""}) EXPECT_TRUE(keys.FindMember(key).IsString()) << key;
  EXPECT_EQ(TextOf(Read("? \n: x\ny: z\n").FindMember("")), "x");
  const ValueResult z = Read("{\"a\\0b\": 1, \"a\\0c\": [2]}");
  ASSERT_EQ(z.Size(), 1u);
  EXPECT_TRUE(z.FindMember("a").IsCollection());
  EXPECT_EQ(ErrorOf("{!!int 1: a}"), "Invalid mapping key. Only string scalar keys are allowed. At line: 1 col: 2");
  EXPECT_EQ(ErrorOf("a: 1\n!!bool yes: 2\n"),
            "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1");
  EXPECT_EQ(ErrorOf("{[1]: x}"), "Unexpected start of sequence. At line: 1 col: 2");
  EXPECT_EQ(ErrorOf("{{a: 1}: x}"), "Unexpected start of mapping. At line: 1 col: 2");
}

std::string Key(int i) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "k%05d", i);
  return buffer;
}

TEST(YamlMappings, RepeatedKeysInSmallAndLargeMappings) {
  // A later scalar replaces, a later null resets, a later sequence appends,
  // a later mapping merges, a later node of the other shape replaces.
  const ValueResult v = Read(
      "s: 1\ns: two\nn: 1\nn: ~\nq: [1, 2]\nq: [3]\nm: {a: 1, b: 2}\nm: {b: 3, c: 4}\n"
      "x: [1]\nx: {k: v}\ny: {k: v}\ny: 5\n");
  EXPECT_EQ(TextOf(v.FindMember("s")), "two");
  EXPECT_TRUE(v.FindMember("n").IsEmpty());
  EXPECT_EQ(v.FindMember("q").Size(), 3u);
  const Value& m = v.FindMember("m");
  EXPECT_EQ(m.Size(), 3u);
  EXPECT_EQ(m.FindMember("b").AsUnsigned(), 3u);
  EXPECT_TRUE(v.FindMember("x").IsStructure());
  EXPECT_EQ(v.FindMember("y").AsUnsigned(), 5u);
  // Keys in falling order, each repeated later with a value that merges or
  // replaces: the result must be the same as for a small mapping.
  constexpr int kCount = 3000;
  std::string text;
  for (int i = kCount - 1; i >= 0; --i) text += Key(i) + ": {a: " + std::to_string(i) + "}\n";
  for (int i = 0; i < kCount; i += 3) text += Key(i) + ": {b: " + std::to_string(i) + "}\n";
  for (int i = 1; i < kCount; i += 3) text += Key(i) + ": " + std::to_string(-i) + "\n";
  text += "zz: &z [" + Key(5) + "]\ncopy: *z\n";
  const ValueResult large = Read(text);
  ASSERT_EQ(large.Size(), static_cast<std::size_t>(kCount) + 2);
  for (int i = 0; i < kCount; ++i) {
    const Value& member = large.FindMember(Key(i));
    if (i % 3 == 1) {
      EXPECT_EQ(member.AsSigned(), -i) << i;
    } else {
      EXPECT_EQ(member.Size(), i % 3 == 0 ? 2u : 1u) << i;
      EXPECT_EQ(member.FindMember("a").AsUnsigned(), static_cast<uint64_t>(i)) << i;
    }
  }
  EXPECT_EQ(large.FindMember("copy"), large.FindMember("zz"));
  const auto members = large.Members();
  for (std::size_t i = 1; i < members.size(); ++i) EXPECT_LT(members[i - 1].name(), members[i].name());
}

TEST(YamlAliases, CopiesOfAnchoredNodes) {
  const ValueResult v = Read(
      "base: &a {x: 1, list: [1, 2]}\ncopy: *a\nkey: &k name\nother: *k\n&kk label: 1\nfromKey: *kk\n"
      "nothing: &e\nalsoNothing: *e\n");
  EXPECT_EQ(v.FindMember("copy"), v.FindMember("base"));
  EXPECT_EQ(TextOf(v.FindMember("other")), "name");
  EXPECT_EQ(TextOf(v.FindMember("fromKey")), "label");
  EXPECT_TRUE(v.FindMember("alsoNothing").IsEmpty());
  // The copy holds the node as built when the alias was read.
  const ValueResult later = Read("a: &q [1]\nb: *q\na: [2]\n");
  EXPECT_EQ(later.FindMember("a").Size(), 2u);
  EXPECT_EQ(later.FindMember("b").Size(), 1u);
  // Aliases to siblings and cousins inside mappings still being filled, whose
  // keys arrive out of order.
  const ValueResult open = Read(
      "z: {b: 1, a: &x {k: v}, c: *x}\n"
      "y:\n  q: [&p 7]\n  d:\n    m: [1, {n: *p, o: *x}]\n    e: *p\n  a: *x\n");
  EXPECT_EQ(open.FindMember("z").FindMember("c"), open.FindMember("z").FindMember("a"));
  const Value& d = open.FindMember("y").FindMember("d");
  EXPECT_EQ(d.FindMember("m").At(1).FindMember("n").AsUnsigned(), 7u);
  EXPECT_EQ(d.FindMember("m").At(1).FindMember("o"), open.FindMember("z").FindMember("a"));
  EXPECT_EQ(d.FindMember("e").AsUnsigned(), 7u);
  std::string text = "[&first {n: 1}";  // an earlier sibling in a sequence that keeps growing
  for (int i = 0; i < 200; ++i) text += ", x";
  const ValueResult grown = Read(text + ", *first]");
  EXPECT_EQ(grown.At(201), grown.At(0));
  // Aliases in the place of keys; a key taken from a value whose member the
  // key then replaces, and an anchor on the new value.
  const ValueResult keys = Read("a: &k name\n*k : 1\n&t title: 2\n*t : 3\n");
  EXPECT_EQ(keys.FindMember("name").AsUnsigned(), 1u);
  EXPECT_EQ(keys.FindMember("title").AsUnsigned(), 3u);
  const ValueResult r = Read("k: &a k\n*a : &b 1\nr: *b\n");
  EXPECT_EQ(r.FindMember("k").AsUnsigned(), 1u);
  EXPECT_EQ(r.FindMember("r").AsUnsigned(), 1u);
}

TEST(YamlAliases, Failures) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"a: &n 5\n*n : 1\n", "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
      {"a: &m {x: 1}\n*m : 1\n", "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
      {"&m {*m : 1}", "Cannot deserialize cyclic aliases. Alias \"m\". At line: 1 col: 5"},
      {"&a\nb:\n  c: [1, *a]\n", "Cannot deserialize cyclic aliases. Alias \"a\". At line: 3 col: 10"},
      {"{*u : 1}", "Undefined alias encountered: \"u\". At line: 1 col: 2"},
      {"a: 1\nb: *nope\n", "Undefined alias encountered: \"nope\". At line: 2 col: 4"},
      {"a: &x 1\nb: &x 2\n", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
      {"&x a: &x 1\n", "Duplicate occurrence of anchor \"x\". At line: 1 col: 7"},
      // A node merged into a mapping that is open again is still being built.
      {"a: &x {p: 1}\na: {q: *x}\n", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 2 col: 8"},
      {"a: &x [1]\na: [*x]\n", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 2 col: 5"},
      // An anchored node whose parent was replaced no longer exists.
      {"a: [&x [1]]\na: 5\nb: *x\n", "Undefined alias encountered: \"x\". At line: 3 col: 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;
}

TEST(YamlDocuments, OneDocumentOnlyAndParserErrorsCountFromZero) {
  EXPECT_EQ(ErrorOf("a\n---\nb\n"), "Multi-document YAML is not supported.");
  EXPECT_EQ(ErrorOf("--- a\n...\n--- b\n"), "Multi-document YAML is not supported.");
  EXPECT_EQ(TextOf(Read("--- a\n...\n")), "a");
  EXPECT_EQ(ErrorOf("a\n---\n[\n"), "Multi-document YAML is not supported.");  // wins over a later parser error
  EXPECT_EQ(ErrorOf("a:\n\tb: 1\n"),
            "YAML parser error: found character that cannot start any token. At line: 1 col: 0");
  EXPECT_EQ(ErrorOf("a: 1\n b: 2\n"),
            "YAML parser error: mapping values are not allowed in this context. At line: 1 col: 2");
  EXPECT_EQ(ErrorOf(std::string_view("a: \0", 4)),
            "YAML parser error: control characters are not allowed. At line: 0 col: 0");
  EXPECT_EQ(ErrorOf("a: \xC3\x28"), "YAML parser error: invalid trailing UTF-8 octet. At line: 0 col: 0");
  for (const char* text : {"---", "   --- a"}) EXPECT_TRUE(codecs::LooksLikeYaml(text)) << text;
  for (const char* text : {"\t---", " --", "a: 1", ""}) EXPECT_FALSE(codecs::LooksLikeYaml(text)) << text;
}

}  // namespace
}  // namespace kiv
