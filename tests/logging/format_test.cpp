// Format: positional and sequential placeholders checked against the
// argument types, cut to the buffer; ExpandNamed: named fields.
#include "logging/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using kiv::fmt::Arg;
using kiv::fmt::ExpandNamed;
using kiv::fmt::FieldTable;
using kiv::fmt::FormatInto;
using kiv::fmt::kFormatBufferSize;
using kiv::fmt::NamedArg;

template <typename... A>
std::string F(const char* templ, const A&... args) {
  const kiv::String s = kiv::Format(templ, args...);
  return std::string(s.data(), s.size());
}

// Formats into a heap buffer of exactly `size` bytes, so that a write past it
// is caught by the address sanitizer.
std::string Into(std::size_t size, const char* templ, const std::vector<Arg>& args) {
  std::vector<char> buffer(size);
  const std::size_t n = FormatInto(buffer.data(), size, templ, args.data(), args.size());
  EXPECT_LT(n, size);
  EXPECT_EQ(std::strlen(buffer.data()), n);
  return std::string(buffer.data(), n);
}

TEST(Format, PositionalAndSequentialPlaceholders) {
  EXPECT_EQ(F("Unknown argument '%1' for '%2'.", "x", "Get"), "Unknown argument 'x' for 'Get'.");
  EXPECT_EQ(F("%2 %1", "a", "b"), "b a");
  EXPECT_EQ(F("100%% of %1", 3), "100% of 3");
  EXPECT_EQ(F("%2$s %s", "a", "b"), "b a");  // a position does not advance the sequence
  EXPECT_EQ(F("%1x|%1$s$", "a"), "ax|a$");   // "%1" ends after its number
  // A number beyond the arguments is a width; past nine arguments "%10" is a position.
  EXPECT_EQ(F("%3x", "a", "b"), "  a");
  EXPECT_EQ(F("%10|%1", 1, 2, 3, 4, 5, 6, 7, 8, 9, "ten"), "ten|1");
  // Missing arguments end the output; an explicit missing position is no width.
  EXPECT_EQ(F("%s %s %s", "a", "b"), "a b ");
  EXPECT_EQ(F("x %5$d y", 1, 2), "x ");
}

TEST(Format, ConversionsAreCheckedAgainstTheArgumentType) {
  EXPECT_EQ(F("%1", std::numeric_limits<uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(F("%1$x|%1$d", int64_t{-1}), "ffffffffffffffff|-1");
  EXPECT_EQ(F("%1$hhu", int64_t{0x1ff}), "255");        // deliberate narrowing is kept
  EXPECT_EQ(F("%1$x|%1$ls|%d", "abc"), "abc|abc|abc");  // a text stays a text, never wide
  EXPECT_EQ(F("%n|%s", 5, 6), "5|6");                   // n is never passed on
  EXPECT_EQ(F("%1$s|%1$c|%1$x %1$X %1$o", 65), "65|A|41 41 101");
  EXPECT_EQ(F("%1$u|%1$lx|%2$d", -1, 4294967295u), "4294967295|ffffffff|-1");
  EXPECT_EQ(F("%1|%1$d|%1$s|%1$f", 'A'), "A|65|A|A");
  EXPECT_EQ(F("%1|%1$.3f|%1$d|%1$Lf", 1.5), "1.5|1.500|1.5|1.500000");  // no long double is read
  EXPECT_EQ(F("%1$-5s|%1$5.1s|%1$.0s|", "ab"), "ab   |    a||");
  EXPECT_EQ(F("[%1]", static_cast<const char*>(nullptr)), "[(null)]");
  EXPECT_EQ(F("%1|%2|%3", std::string_view("abcdef", 3), std::string("std"), kiv::String("lib")), "abc|std|lib");
}

TEST(Format, StarWidthsAndPrecisions) {
  EXPECT_EQ(F("%1$*2$d|", 7, 5), "    7|");
  EXPECT_EQ(F("before %1$*2$d|", 7, "x"), "before ");  // a star takes integers only
  EXPECT_EQ(F("%*d|%d", 4, 42, 9), "  42|9");
  EXPECT_EQ(F("%*d|%.*f|", -4, 1, -1, 1.5), "1   |1.500000|");
  EXPECT_EQ(F("%1$*2$.*3$f|", 3.14159, 8, 2), "    3.14|");
  EXPECT_EQ(F("%*d|", INT32_MIN, 1).size(), kFormatBufferSize - 1);
}

TEST(Format, LimitsOfPlaceholdersAndTemplates) {
  // The text of one placeholder may be 59 characters; the position is not counted, a star's is.
  EXPECT_EQ(F(("<%" + std::string(57, '-') + "d>").c_str(), 1), "<1>");
  EXPECT_EQ(F(("<%" + std::string(58, '-') + "d>").c_str(), 1), "<");
  EXPECT_EQ(F(("<%" + std::string(55, '-') + "*2$d>").c_str(), 1, 2), "<");
  EXPECT_EQ(F(("<%" + std::string(70, '9') + "d>").c_str(), 1), "<");
  // Templates that end inside a placeholder.
  EXPECT_EQ(F("abc%"), "abc");
  EXPECT_EQ(F("v=%*", 3, 7), "v=  7");
  EXPECT_EQ(F("v=%1$*", 7), "v=      7");  // the star takes argument 1 in sequence
  EXPECT_EQ(F("v=%.*", 1), "v=");
  // Huge widths and results are cut to the buffer.
  const std::string wide = F("%99999999999999999999d", 1);
  EXPECT_EQ(wide.size(), kFormatBufferSize - 1);
  EXPECT_EQ(wide.find_first_not_of(' '), std::string::npos);
  const std::string big(5000, 'y');
  EXPECT_EQ(F(big.c_str()), big.substr(0, 4095));
  EXPECT_EQ(F("x%1", big), "x" + big.substr(0, 4094));
}

TEST(Format, EverySmallBufferGetsAPrefixAndOnlyTheResultIsAllocated) {
  const char* templ = "V %1 for '%2' of %3$-6s|%4$08.3f|%5$*6$x|%%|%2";
  const std::vector<Arg> args = {Arg(int64_t{-1234567}), Arg("name"), Arg("type"), Arg(3.25), Arg(255u), Arg(7)};
  const std::string full = Into(4096, templ, args);
  ASSERT_EQ(full, "V -1234567 for 'name' of type  |0003.250|     ff|%|name");
  for (std::size_t size = 1; size <= full.size() + 2; ++size) {
    EXPECT_EQ(Into(size, templ, args), full.substr(0, std::min(full.size(), size - 1))) << size;
  }
  char untouched = 'q';
  EXPECT_EQ(FormatInto(&untouched, 0, templ, args.data(), args.size()), 0u);
  EXPECT_EQ(untouched, 'q');

  (void)F("warm up the allocation front end %1", 1);
  const uint64_t before = kiv::mem::ReadAllocationStats().allocations;
  const kiv::String s = kiv::Format("Value %1 for '%2' of type %3 is out of range", int64_t{99}, "count", "int8");
  EXPECT_EQ(kiv::mem::ReadAllocationStats().allocations - before, 1u);
  EXPECT_EQ(s, "Value 99 for 'count' of type int8 is out of range");
}

// ExpandNamed's positional template and field names.
struct Expanded {
  std::string positional;
  std::vector<std::string> names;
  FieldTable fields;
};

Expanded Expand(const char* templ, const std::vector<NamedArg>& args) {
  Expanded e;
  kiv::String positional("stale");
  ExpandNamed(templ, args.data(), args.size(), &positional, &e.fields);
  e.positional.assign(positional.data(), positional.size());
  for (const auto& [name, value] : e.fields) e.names.emplace_back(name.data(), name.size());
  return e;
}

using Strings = std::vector<std::string>;
NamedArg S(int64_t n) { return NamedArg::Signed(n); }

TEST(FormatNamed, FieldsBecomeNumberedPlaceholders) {
  Expanded e = Expand("Error response for {method} {url}: {error}",
                      {NamedArg::Text("GET"), NamedArg::Text("/x"), NamedArg::Text("boom")});
  EXPECT_EQ(e.positional, "Error response for %1 %2: %3");
  EXPECT_EQ(e.names, (Strings{"error", "method", "url"}));
  EXPECT_EQ(e.fields.find("url")->second.text, "/x");
  EXPECT_EQ(Expand("{n:05d}|{n:} left", {S(42), S(1)}).positional, "%1$05d|%2 left");
  e = Expand("{a}{a}", {NamedArg::Text("first"), NamedArg::Text("second")});
  EXPECT_EQ(e.positional, "%1%2");
  EXPECT_EQ(e.fields.begin()->second.text, "second");
  e = Expand("{a}/{b}/{c}", {S(1)});  // fields past the arguments use up their numbers
  EXPECT_EQ(e.positional, "%1//");
  EXPECT_EQ(e.names, (Strings{"a"}));
  // Positional placeholders pass through and keep their numbers.
  e = Expand("{a} %s {b}", {NamedArg::Text("x"), NamedArg::Text("y"), NamedArg::Text("z")});
  EXPECT_EQ(e.positional, "%1 %s %3");
  EXPECT_EQ(Expand("%2$-4s {x}|{x} end %", {S(1), S(2), S(3), S(4)}).positional, "%2$-4s %3|%4 end %");
  // A field followed by a digit or "$" stays one argument.
  e = Expand("{n}5 and {m}$", {S(4), NamedArg::Text("t")});
  EXPECT_EQ(e.positional, "%1$s5 and %2$s$");
  EXPECT_EQ(F(e.positional.c_str(), int64_t{4}, "t"), "45 and t$");
}

TEST(FormatNamed, BracesEscapesAndUnclosedFields) {
  EXPECT_EQ(Expand("{{literal}} a } b", {}).positional, "{literal} a } b");
  EXPECT_EQ(Expand("100%% {x}", {S(1)}).positional, "100%% %1");
  Expanded e = Expand("{a\\:b\\}c{?x\\?}", {S(0)});
  EXPECT_EQ(e.positional, "x?");  // name "a:b}c", alternative "x?"
  EXPECT_EQ(Expand("{a{b}", {S(1)}).names, (Strings{"ab"}));
  EXPECT_EQ(Expand("kept {dropped", {S(1)}).positional, "kept ");
  e = Expand("kept {x} {y\\", {S(1), S(2)});
  EXPECT_EQ(e.positional, "kept %1 ");
  EXPECT_EQ(e.names, (Strings{"x"}));
}

TEST(FormatNamed, TypedHiddenAndAlternativeFields) {
  Expanded e = Expand(
      "{#x_str}{#x_count}{#f}{#u}{#b}{#t}{a#}",
      {S(1), S(2), NamedArg::Double(0.5), NamedArg::Unsigned(4), NamedArg::Bool(true), NamedArg::Text("t"), S(7)});
  EXPECT_EQ(e.names, (Strings{"a#", "b_bool", "f_float", "t_str", "u_int", "x_count_int", "x_str"}));

  e = Expand("value   {!note}", {NamedArg::Text("n")});
  EXPECT_EQ(e.positional, "value");  // hidden, and the blanks before it go
  EXPECT_EQ(e.names, (Strings{"note"}));
  EXPECT_EQ(Expand("a \t\n{!h} {b}|{n} {!h}", {S(1), S(2), S(4), S(0)}).positional, "a %2|%3");

  e = Expand("took {ms?n/a}", {S(0)});
  EXPECT_EQ(e.positional, "took n/a");
  EXPECT_TRUE(e.fields.empty());
  EXPECT_EQ(Expand("took {ms?n/a}", {S(12)}).positional, "took %1");
  EXPECT_EQ(Expand("{a?A}{b?B}{c?C}{d?D}",
                   {NamedArg::Bool(false), NamedArg::Unsigned(0), NamedArg::Double(-0.0), NamedArg::Text("")})
                .positional,
            "ABCD");
  EXPECT_EQ(Expand("{a?A}{b?B}{c?C}{d?D}",
                   {NamedArg::Bool(true), NamedArg::Unsigned(1), NamedArg::Double(std::nan("")), NamedArg::Text(" ")})
                .positional,
            "%1%2%3%4");
  EXPECT_EQ(Expand("{a?-} {b}|{n}{m?7}", {S(0), S(5), S(4), S(0)}).positional, "- %2|%3$s7");

  kiv::String out("stale");
  ExpandNamed(nullptr, nullptr, 0, &out, nullptr);
  EXPECT_EQ(out, "");
  ExpandNamed("{a} x", nullptr, 3, &out, nullptr);
  EXPECT_EQ(out, " x");
}

}  // namespace
