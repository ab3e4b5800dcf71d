// The YAML reader: scalar resolution and tags, mappings and repeated keys,
// anchors and aliases, failures with their positions, and the bounds that
// keep hostile texts in check.
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

// The root of a one-line document, for scalar checks.
ValueResult Scalar(const std::string& text) { return Read(text); }

std::string TextOf(const Value& v) { return std::string(v.AsText("<not a string>")); }

TEST(YamlScalars, EmptyTextsAndNullWords) {
  EXPECT_TRUE(Read("").IsEmpty());
  EXPECT_TRUE(Read("# only a comment\n   # and another\n").IsEmpty());
  EXPECT_TRUE(Read("---\n").IsEmpty());
  for (const char* word : {"~", "null", "Null", "NULL"}) EXPECT_TRUE(Scalar(word).IsEmpty()) << word;
  EXPECT_EQ(TextOf(Scalar("nULL")), "nULL");
}

TEST(YamlScalars, PlainNumbers) {
  EXPECT_EQ(Scalar("42").AsUnsigned(), 42u);
  EXPECT_EQ(Scalar("-7").AsSigned(), -7);
  EXPECT_EQ(Scalar("+5").AsUnsigned(), 5u);
  EXPECT_EQ(Scalar("007").AsUnsigned(), 7u);  // strtod reads decimal, never octal
  EXPECT_DOUBLE_EQ(Scalar("4.5").AsFloat(), 4.5);
  EXPECT_DOUBLE_EQ(Scalar("-.25").AsFloat(), -0.25);
  // Integral numbers become integers whatever their spelling.
  EXPECT_EQ(Scalar("1.0").AsUnsigned(), 1u);
  EXPECT_EQ(Scalar("1e3").AsUnsigned(), 1000u);
  EXPECT_EQ(Scalar("-2.0").AsSigned(), -2);
  EXPECT_EQ(Scalar("0x1F").AsUnsigned(), 31u);
  EXPECT_EQ(Scalar("-0").Kind(), ValueKind::Unsigned);
  EXPECT_TRUE(std::isnan(Scalar("nan").AsFloat(0.0)));
  EXPECT_EQ(Scalar("1e-400").Kind(), ValueKind::Unsigned);  // underflows to zero
  // Infinity is no number; "1e400" overflows to it.
  EXPECT_EQ(TextOf(Scalar("inf")), "inf");
  EXPECT_EQ(TextOf(Scalar("1e400")), "1e400");
  EXPECT_EQ(TextOf(Scalar(".inf")), ".inf");
  // Texts that only begin like numbers.
  for (const char* text : {"1_000", "12:30", "2024-01-01", "1e", "0x", "+", "+-1", "0x-1", "1.2.3", "0xinf"}) {
    EXPECT_EQ(TextOf(Scalar(text)), text);
  }
}

TEST(YamlScalars, IntegersKeepAllTheirDigits) {
  // Decimal integers are read exactly up to the end of their 64-bit kind.
  EXPECT_EQ(Scalar("9007199254740993").AsUnsigned(), 9007199254740993u);
  EXPECT_EQ(Scalar("18446744073709551615").AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(Scalar("-9223372036854775808").AsSigned(), INT64_MIN);
  EXPECT_EQ(Scalar("-9223372036854775807").AsSigned(), -INT64_MAX);
  // Beyond it, and for integral values the kinds cannot hold, the value stays
  // a Float instead of a wrapped or saturated integer.
  EXPECT_DOUBLE_EQ(Scalar("18446744073709551616").AsFloat(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ(Scalar("-9223372036854775809").AsFloat(), -9223372036854775808.0);
  EXPECT_DOUBLE_EQ(Scalar("123456789012345678901234567890").AsFloat(), 1.2345678901234568e29);
  EXPECT_DOUBLE_EQ(Scalar("1e300").AsFloat(), 1e300);
  EXPECT_DOUBLE_EQ(Scalar("-1e300").AsFloat(), -1e300);
  EXPECT_EQ(Scalar("-1e400").AsFloat(), -HUGE_VAL);
  EXPECT_EQ(Scalar("-inf").AsFloat(), -HUGE_VAL);
  // Written as a fraction, a large integer goes through the double.
  EXPECT_EQ(Scalar("9007199254740993.0").AsUnsigned(), 9007199254740992u);
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
    const ValueResult v = Scalar(text);
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
  EXPECT_EQ(Scalar("9007199254740.993").AsFloat(), 9007199254740.993);
  EXPECT_EQ(Scalar("9007199254740.995").AsFloat(), 9007199254740.995);
  EXPECT_EQ(Scalar("1.5e-22").AsFloat(), 1.5e-22);
  EXPECT_EQ(Scalar("1.5e-23").AsFloat(), 1.5e-23);
  EXPECT_EQ(Scalar("0.1234567890123456789").AsFloat(), 0.1234567890123456789);
  EXPECT_EQ(Scalar("4.2e0001").AsUnsigned(), 42u);
}

TEST(YamlScalars, BoolWordsQuotingAndBlockStyles) {
  for (const char* word : {"true", "True", "TRUE", "y", "Y", "yes", "Yes", "YES", "on", "On", "ON"}) {
    const ValueResult v = Scalar(word);
    EXPECT_TRUE(v.IsBool() && v.AsBool()) << word;
  }
  for (const char* word : {"false", "False", "FALSE", "n", "N", "no", "No", "NO", "off", "Off", "OFF"}) {
    const ValueResult v = Scalar(word);
    EXPECT_TRUE(v.IsBool() && !v.AsBool()) << word;
  }
  EXPECT_EQ(TextOf(Scalar("tRUE")), "tRUE");
  EXPECT_EQ(TextOf(Scalar("hello")), "hello");
  EXPECT_EQ(TextOf(Scalar("'42'")), "42");
  EXPECT_EQ(TextOf(Scalar("\"true\"")), "true");
  EXPECT_EQ(TextOf(Scalar("''")), "");
  EXPECT_EQ(TextOf(Scalar("\"caf\\u00e9 \\\"q\\\" \\n\"")), "caf\xC3\xA9 \"q\" \n");
  // Literal and folded scalars are resolved like plain ones, on their whole text.
  EXPECT_EQ(TextOf(Read("|\n  42\n")), "42\n");
  EXPECT_EQ(Read("|-\n  42\n").AsUnsigned(), 42u);
  EXPECT_EQ(TextOf(Read(">\n  a\n  b\n")), "a b\n");
}

TEST(YamlTags, CoreTags) {
  EXPECT_EQ(Read("!!int 12").AsUnsigned(), 12u);
  EXPECT_EQ(Read("!!int -12").AsSigned(), -12);
  EXPECT_EQ(Read("!!int 0x10").AsUnsigned(), 16u);
  EXPECT_EQ(Read("!!int 010").AsUnsigned(), 8u);
  EXPECT_EQ(Read("!!int '18446744073709551615'").AsUnsigned(), UINT64_MAX);
  EXPECT_EQ(Read("!!int \" -3\"").AsSigned(), -3);
  EXPECT_EQ(Read("!!int ''").AsUnsigned(), 0u);
  EXPECT_EQ(TextOf(Read("!!str 12")), "12");
  EXPECT_EQ(TextOf(Read("!!str")), "");
  EXPECT_EQ(TextOf(Read("!<tag:yaml.org,2002:str> true")), "true");
  EXPECT_TRUE(Read("!!bool yes").AsBool());
  EXPECT_FALSE(Read("!!bool Off").AsBool(true));
  EXPECT_DOUBLE_EQ(Read("!!float 1.5").AsFloat(), 1.5);
  EXPECT_EQ(Read("!!float 2").Kind(), ValueKind::Float);
  EXPECT_TRUE(std::isnan(Read("!!float nan").AsFloat(0.0)));
  // Tags on collections are not looked at.
  EXPECT_TRUE(Read("!!set {a: 1}").IsStructure());
}

TEST(YamlTags, ConversionFailures) {
  EXPECT_EQ(ErrorOf("!!int 12abc"), "Value 12abc for 'yaml' of type uint64_t is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!int 08"), "Value 08 for 'yaml' of type uint64_t is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!int 18446744073709551616"),
            "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range");
  EXPECT_EQ(ErrorOf("!!int -9223372036854775809"),
            "Value -9223372036854775809 for 'yaml' of type int64_t is out of range");
  EXPECT_EQ(ErrorOf("!!int -x"), "Value -x for 'yaml' of type int64_t is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!float abc"), "Value abc for 'yaml' of type double is in an incorrect format");
  EXPECT_EQ(ErrorOf("!!float 1e400"), "Value 1e400 for 'yaml' of type double is out of range");
  EXPECT_EQ(ErrorOf("!!float -inf"), "Value -inf for 'yaml' of type double is out of range");
  // A bool tag on a word that is no bool fails instead of storing nothing.
  EXPECT_EQ(ErrorOf("!!bool maybe"), "Value maybe for 'yaml' of type bool is in an incorrect format");
  EXPECT_EQ(ErrorOf("a: !!binary aGVsbG8="), "Unsupported YAML tag 'tag:yaml.org,2002:binary'.");
  EXPECT_EQ(ErrorOf("[!custom x]"), "Unsupported YAML tag '!custom'.");
  EXPECT_EQ(ErrorOf("!!null ~"), "Unsupported YAML tag 'tag:yaml.org,2002:null'.");
}

TEST(YamlMappings, MembersAndNesting) {
  const ValueResult v = Read(
      "id: 17\n"
      "name: \"Ann\"\n"
      "tags: [a, 2, ~]\n"
      "author:\n"
      "  nick: ann\n"
      "  since: 2021-03-04T05:06:07Z\n"
      "empty: {}\n"
      "none: []\n");
  ASSERT_TRUE(v.IsStructure());
  EXPECT_EQ(v.Size(), 6u);
  EXPECT_EQ(v.FindMember("id").AsUnsigned(), 17u);
  EXPECT_EQ(TextOf(v.FindMember("name")), "Ann");
  const Value& tags = v.FindMember("tags");
  ASSERT_EQ(tags.Size(), 3u);
  EXPECT_EQ(TextOf(tags.At(0)), "a");
  EXPECT_EQ(tags.At(1).AsUnsigned(), 2u);
  EXPECT_TRUE(tags.At(2).IsEmpty());
  EXPECT_EQ(TextOf(v.FindMember("author").FindMember("since")), "2021-03-04T05:06:07Z");
  EXPECT_TRUE(v.FindMember("empty").IsStructure());
  EXPECT_EQ(v.FindMember("empty").Size(), 0u);
  EXPECT_TRUE(v.FindMember("none").IsCollection());
  // A key without a value holds Empty.
  const ValueResult flow = Read("{a, b: }");
  EXPECT_EQ(flow.Size(), 2u);
  EXPECT_TRUE(flow.FindMember("a").IsEmpty());
}

TEST(YamlMappings, KeysStayTexts) {
  const ValueResult v = Read("{1: a, true: b, ~: c, 1.50: d, !!str 7: e}");
  EXPECT_EQ(TextOf(v.FindMember("1")), "a");
  EXPECT_EQ(TextOf(v.FindMember("true")), "b");
  EXPECT_EQ(TextOf(v.FindMember("~")), "c");
  EXPECT_EQ(TextOf(v.FindMember("1.50")), "d");
  EXPECT_EQ(TextOf(v.FindMember("7")), "e");
  // Empty keys are members like any other, and the value after them stays a value.
  const ValueResult e = Read("{\"\": 1, b: 2}");
  ASSERT_EQ(e.Size(), 2u);
  EXPECT_EQ(e.FindMember("").AsUnsigned(), 1u);
  EXPECT_EQ(e.FindMember("b").AsUnsigned(), 2u);
  const ValueResult q = Read("? \n: x\ny: z\n");
  EXPECT_EQ(TextOf(q.FindMember("")), "x");
  EXPECT_EQ(TextOf(q.FindMember("y")), "z");
  // A zero byte ends a key, as it ends every key of a value tree.
  const ValueResult z = Read("{\"a\\0b\": 1, \"a\\0c\": [2]}");
  ASSERT_EQ(z.Size(), 1u);
  EXPECT_TRUE(z.FindMember("a").IsCollection());
}

TEST(YamlMappings, InvalidKeys) {
  EXPECT_EQ(ErrorOf("{!!int 1: a}"), "Invalid mapping key. Only string scalar keys are allowed. At line: 1 col: 2");
  EXPECT_EQ(ErrorOf("a: 1\n!!bool yes: 2\n"),
            "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1");
  EXPECT_EQ(ErrorOf("{[1]: x}"), "Unexpected start of sequence. At line: 1 col: 2");
  EXPECT_EQ(ErrorOf("{{a: 1}: x}"), "Unexpected start of mapping. At line: 1 col: 2");
  EXPECT_EQ(ErrorOf("a: 1\n? - x\n: y\n"), "Unexpected start of sequence. At line: 2 col: 3");
}

TEST(YamlMappings, RepeatedKeys) {
  // A later scalar replaces, a later null resets, a later sequence appends,
  // a later mapping merges, a later node of the other shape replaces.
  const ValueResult v = Read(
      "s: 1\ns: two\n"
      "n: 1\nn: ~\n"
      "q: [1, 2]\nq: [3]\n"
      "m: {a: 1, b: 2}\nm: {b: 3, c: 4}\n"
      "x: [1]\nx: {k: v}\n"
      "y: {k: v}\ny: 5\n");
  EXPECT_EQ(TextOf(v.FindMember("s")), "two");
  EXPECT_TRUE(v.FindMember("n").IsEmpty());
  const Value& q = v.FindMember("q");
  ASSERT_EQ(q.Size(), 3u);
  EXPECT_EQ(q.At(2).AsUnsigned(), 3u);
  const Value& m = v.FindMember("m");
  ASSERT_EQ(m.Size(), 3u);
  EXPECT_EQ(m.FindMember("a").AsUnsigned(), 1u);
  EXPECT_EQ(m.FindMember("b").AsUnsigned(), 3u);
  EXPECT_EQ(m.FindMember("c").AsUnsigned(), 4u);
  EXPECT_TRUE(v.FindMember("x").IsStructure());
  EXPECT_EQ(v.FindMember("y").AsUnsigned(), 5u);
}

std::string Key(int i) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "k%05d", i);
  return buffer;
}

TEST(YamlMappings, LargeMappingsInAnyOrder) {
  // Keys in falling order, each repeated later with a value that merges or
  // replaces: the result must be the same as for a small mapping.
  constexpr int kCount = 3000;
  std::string text;
  for (int i = kCount - 1; i >= 0; --i) text += Key(i) + ": {a: " + std::to_string(i) + "}\n";
  for (int i = 0; i < kCount; i += 3) text += Key(i) + ": {b: " + std::to_string(i) + "}\n";
  for (int i = 1; i < kCount; i += 3) text += Key(i) + ": " + std::to_string(-i) + "\n";
  text += "zz: &z [" + Key(5) + "]\n";
  text += "copy: *z\n";
  const ValueResult v = Read(text);
  ASSERT_EQ(v.Size(), static_cast<std::size_t>(kCount) + 2);
  for (int i = 0; i < kCount; ++i) {
    const Value& member = v.FindMember(Key(i));
    if (i % 3 == 0) {
      ASSERT_EQ(member.Size(), 2u) << i;
      EXPECT_EQ(member.FindMember("a").AsUnsigned(), static_cast<uint64_t>(i));
      EXPECT_EQ(member.FindMember("b").AsUnsigned(), static_cast<uint64_t>(i));
    } else if (i % 3 == 1) {
      EXPECT_EQ(member.AsSigned(), -i) << i;
    } else {
      EXPECT_EQ(member.FindMember("a").AsUnsigned(), static_cast<uint64_t>(i)) << i;
    }
  }
  EXPECT_EQ(v.FindMember("copy"), v.FindMember("zz"));
  const auto members = v.Members();
  for (std::size_t i = 1; i < members.size(); ++i) EXPECT_LT(members[i - 1].name(), members[i].name());
}

TEST(YamlAliases, CopiesOfAnchoredNodes) {
  const ValueResult v = Read(
      "base: &a {x: 1, list: [1, 2]}\n"
      "copy: *a\n"
      "key: &k name\n"
      "other: *k\n"
      "&kk label: 1\n"
      "fromKey: *kk\n"
      "scalar: &s 3.5\n"
      "again: *s\n"
      "nothing: &e\n"
      "alsoNothing: *e\n");
  EXPECT_EQ(v.FindMember("copy"), v.FindMember("base"));
  EXPECT_EQ(v.FindMember("copy").FindMember("list").Size(), 2u);
  EXPECT_EQ(TextOf(v.FindMember("other")), "name");
  EXPECT_EQ(TextOf(v.FindMember("fromKey")), "label");
  EXPECT_DOUBLE_EQ(v.FindMember("again").AsFloat(), 3.5);
  EXPECT_TRUE(v.FindMember("alsoNothing").IsEmpty());
  EXPECT_EQ(v.FindMember("nothing").Kind(), ValueKind::Empty);
  // The copy is independent of the original's later growth: it holds the
  // node as built when the alias was read.
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
  EXPECT_EQ(open.FindMember("y").FindMember("a").Size(), 1u);
  // An alias to an earlier sibling inside a sequence that keeps growing.
  std::string text = "[&first {n: 1}";
  for (int i = 0; i < 200; ++i) text += ", x";
  text += ", *first]";
  const ValueResult grown = Read(text);
  ASSERT_EQ(grown.Size(), 202u);
  EXPECT_EQ(grown.At(201), grown.At(0));
}

TEST(YamlAliases, AliasesInThePlaceOfKeys) {
  const ValueResult v = Read("a: &k name\n*k : 1\n&t title: 2\n*t : 3\n");
  EXPECT_EQ(v.FindMember("name").AsUnsigned(), 1u);
  EXPECT_EQ(v.FindMember("title").AsUnsigned(), 3u);
  EXPECT_EQ(ErrorOf("a: &n 5\n*n : 1\n"),
            "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1");
  EXPECT_EQ(ErrorOf("a: &m {x: 1}\n*m : 1\n"),
            "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1");
  EXPECT_EQ(ErrorOf("&m {*m : 1}"), "Cannot deserialize cyclic aliases. Alias \"m\". At line: 1 col: 5");
  EXPECT_EQ(ErrorOf("{*u : 1}"), "Undefined alias encountered: \"u\". At line: 1 col: 2");
  // A key taken from a value whose member the key then replaces, and an
  // anchor on the new value, which records the key's path after the store.
  const ValueResult r = Read("k: &a k\n*a : &b 1\nr: *b\n");
  EXPECT_EQ(r.FindMember("k").AsUnsigned(), 1u);
  EXPECT_EQ(r.FindMember("r").AsUnsigned(), 1u);
}

TEST(YamlAliases, Failures) {
  EXPECT_EQ(ErrorOf("&a [*a]"), "Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 5");
  EXPECT_EQ(ErrorOf("&a\nb:\n  c: [1, *a]\n"), "Cannot deserialize cyclic aliases. Alias \"a\". At line: 3 col: 10");
  EXPECT_EQ(ErrorOf("a: 1\nb: *nope\n"), "Undefined alias encountered: \"nope\". At line: 2 col: 4");
  EXPECT_EQ(ErrorOf("a: &x 1\nb: &x 2\n"), "Duplicate occurrence of anchor \"x\". At line: 2 col: 4");
  EXPECT_EQ(ErrorOf("&x a: &x 1\n"), "Duplicate occurrence of anchor \"x\". At line: 1 col: 7");
  EXPECT_EQ(ErrorOf("a: 1\n&x b: 2\n  \n&x c: 3\n"), "Duplicate occurrence of anchor \"x\". At line: 4 col: 1");
  // A node merged into a mapping that is open again is still being built.
  EXPECT_EQ(ErrorOf("a: &x {p: 1}\na: {q: *x}\n"), "Cannot deserialize cyclic aliases. Alias \"x\". At line: 2 col: 8");
  EXPECT_EQ(ErrorOf("a: &x [1]\na: [*x]\n"), "Cannot deserialize cyclic aliases. Alias \"x\". At line: 2 col: 5");
  // An anchored node whose parent was replaced no longer exists.
  EXPECT_EQ(ErrorOf("a: [&x [1]]\na: 5\nb: *x\n"), "Undefined alias encountered: \"x\". At line: 3 col: 4");
}

TEST(YamlDocuments, MultipleDocumentsAreRejected) {
  EXPECT_EQ(ErrorOf("a\n---\nb\n"), "Multi-document YAML is not supported.");
  EXPECT_EQ(ErrorOf("---\n---\n"), "Multi-document YAML is not supported.");
  EXPECT_EQ(ErrorOf("--- a\n...\n--- b\n"), "Multi-document YAML is not supported.");
  EXPECT_EQ(TextOf(Read("--- a\n...\n")), "a");
  // A builder failure wins over a parser error that follows it.
  EXPECT_EQ(ErrorOf("a\n---\n[\n"), "Multi-document YAML is not supported.");
}

TEST(YamlDocuments, ParserErrorsCountFromZero) {
  EXPECT_EQ(ErrorOf("a:\n\tb: 1\n"),
            "YAML parser error: found character that cannot start any token. At line: 1 col: 0");
  EXPECT_EQ(ErrorOf("[1, 2"), "YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0");
  EXPECT_EQ(ErrorOf("a: 1\n b: 2\n"),
            "YAML parser error: mapping values are not allowed in this context. At line: 1 col: 2");
  // Bytes that are no text: a zero byte, broken UTF-8.
  EXPECT_EQ(ErrorOf(std::string_view("a: \0", 4)),
            "YAML parser error: control characters are not allowed. At line: 0 col: 0");
  EXPECT_EQ(ErrorOf("a: \xC3\x28"), "YAML parser error: invalid trailing UTF-8 octet. At line: 0 col: 0");
}

TEST(YamlDetection, LeadingSpacesThenDashes) {
  EXPECT_TRUE(codecs::LooksLikeYaml("---"));
  EXPECT_TRUE(codecs::LooksLikeYaml("   --- a"));
  EXPECT_FALSE(codecs::LooksLikeYaml("\t---"));
  EXPECT_FALSE(codecs::LooksLikeYaml(" --"));
  EXPECT_FALSE(codecs::LooksLikeYaml("a: 1"));
  EXPECT_FALSE(codecs::LooksLikeYaml(""));
}

}  // namespace
}  // namespace kiv
