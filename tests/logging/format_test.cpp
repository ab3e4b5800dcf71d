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
using kiv::fmt::NamedArg;

template <typename... A>
std::string F(const char* templ, const A&... args) {
  const kiv::String s = kiv::Format(templ, args...);
  return std::string(s.data(), s.size());
}

// Formats into a buffer of exactly `size` bytes on the heap, so that any write
// past it is caught by the address sanitizer.
std::string Into(std::size_t size, const char* templ, const std::vector<Arg>& args) {
  std::vector<char> buffer(size);
  const std::size_t n = FormatInto(buffer.data(), size, templ, args.data(), args.size());
  EXPECT_LT(n, size);
  EXPECT_EQ(buffer[n], '\0');
  EXPECT_EQ(std::strlen(buffer.data()), n);
  return std::string(buffer.data(), n);
}

TEST(FormatPositional, NumberedAndSequentialPlaceholders) {
  EXPECT_EQ(F("Unknown argument '%1' for '%2'.", "x", "Get"), "Unknown argument 'x' for 'Get'.");
  EXPECT_EQ(F("%1$5d|", 42), "   42|");
  EXPECT_EQ(F("%2 %1", "a", "b"), "b a");
  EXPECT_EQ(F("%%"), "%");
  EXPECT_EQ(F("100%% of %1", 3), "100% of 3");
  EXPECT_EQ(F("%s %s", "a", "b"), "a b");
  // A positional placeholder does not advance the sequence.
  EXPECT_EQ(F("%2$s %s", "a", "b"), "b a");
  EXPECT_EQ(F("%1%1%2", "a", "b"), "aab");
  // "%1" ends after its number: what follows is ordinary text.
  EXPECT_EQ(F("%1x", "a"), "ax");
  EXPECT_EQ(F("%1$s$", "a"), "a$");
}

TEST(FormatPositional, NumberBeyondArgumentsIsAWidth) {
  EXPECT_EQ(F("%3x", "a", "b"), "  a");
  EXPECT_EQ(F("%12 items", 7), "           7items");
  // More than nine arguments: "%10" is a position, not "%1" and a zero.
  EXPECT_EQ(F("%10|%1", 1, 2, 3, 4, 5, 6, 7, 8, 9, "ten"), "ten|1");
}

TEST(FormatPositional, MissingArgumentsEndTheOutput) {
  EXPECT_EQ(F("%s %s %s", "a", "b"), "a b ");
  EXPECT_EQ(F("no args %s here"), "no args ");
  EXPECT_EQ(F("%1 and %s and %s then", "a"), "a and a and ");
  // An explicit position that does not exist is not reread as a width, which
  // would print another argument in its place.
  EXPECT_EQ(F("x %5$d y", 1, 2), "x ");
}

TEST(FormatConversion, SixtyFourBitValuesPrintWhole) {
  EXPECT_EQ(F("%1", std::numeric_limits<uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(F("%1", std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(F("%s|%s", int64_t{-1}, uint64_t{1} << 40), "-1|1099511627776");
  EXPECT_EQ(F("%1$x", int64_t{-1}), "ffffffffffffffff");
  EXPECT_EQ(F("%1$d", int64_t{5000000000}), "5000000000");
  EXPECT_EQ(F("%1$ld", uint64_t{5000000000}), "5000000000");
  EXPECT_EQ(F("%1$5u|", uint64_t{7}), "    7|");
  // Deliberate narrowing is kept.
  EXPECT_EQ(F("%1$hhu", int64_t{0x1ff}), "255");
}

TEST(FormatConversion, ConversionsCheckedAgainstTheArgumentType) {
  EXPECT_EQ(F("%1$x", "abc"), "abc");
  EXPECT_EQ(F("%1$ls", "abc"), "abc");  // never read as a wide text
  EXPECT_EQ(F("%d", "abc"), "abc");
  EXPECT_EQ(F("%n|%s", 5, 6), "5|6");  // n is never passed on
  EXPECT_EQ(F("%1$s", 42), "42");
  EXPECT_EQ(F("%1$c", 65), "A");
  EXPECT_EQ(F("%1$x %1$X %1$o", 255), "ff FF 377");
  EXPECT_EQ(F("%1$u", -1), "4294967295");
  EXPECT_EQ(F("%1$lx", -1), "ffffffff");  // same on every target
  EXPECT_EQ(F("%1$hhd", 300), "44");
  EXPECT_EQ(F("%1$hx", 0x12345), "2345");
  EXPECT_EQ(F("%1", 4294967295u), "4294967295");
  EXPECT_EQ(F("%1$d", 4294967295u), "-1");
  EXPECT_EQ(F("%1|%1$d|%1$s|%1$f", 'A'), "A|65|A|A");
  EXPECT_EQ(F("%1", 1.5), "1.5");
  EXPECT_EQ(F("%1$.3f", 1.5), "1.500");
  EXPECT_EQ(F("%1$d", 2.5), "2.5");
  EXPECT_EQ(F("%1$Lf", 1.5), "1.500000");  // no long double is read
  EXPECT_EQ(F("%1$+05d|%1$#x|%1$-4d|", 42), "+0042|0x2a|42  |");
}

TEST(FormatConversion, Texts) {
  EXPECT_EQ(F("%1$-5s|%1$5.1s|%1$.0s|", "ab"), "ab   |    a||");
  EXPECT_EQ(F("[%1]", static_cast<const char*>(nullptr)), "[(null)]");
  EXPECT_EQ(F("[%1$.3s]", static_cast<const char*>(nullptr)), "[(nu]");
  // Texts given with a length need no terminator.
  EXPECT_EQ(F("%1|", std::string_view("abcdef", 3)), "abc|");
  EXPECT_EQ(F("%1", std::string("std")), "std");
  EXPECT_EQ(F("%1", kiv::String("lib")), "lib");
}

TEST(FormatConversion, StarWidthsAndPrecisions) {
  EXPECT_EQ(F("%1$*2$d|", 7, 5), "    7|");
  EXPECT_EQ(F("before %1$*2$d|", 7, "x"), "before ");
  EXPECT_EQ(F("before %1$*2$d|", 7, 2.0), "before ");
  EXPECT_EQ(F("before %1$*3$d|", 7, 5), "before ");
  EXPECT_EQ(F("%*d|%d", 4, 42, 9), "  42|9");
  EXPECT_EQ(F("%*d|", -4, 1), "1   |");
  EXPECT_EQ(F("%.*f|", -1, 1.5), "1.500000|");
  EXPECT_EQ(F("%*.*s|", 5, 2, "abc"), "   ab|");
  EXPECT_EQ(F("%1$*2$.*3$f|", 3.14159, 8, 2), "    3.14|");
  EXPECT_EQ(F("%*d|", int64_t{6}, 1), "     1|");
  EXPECT_EQ(F("%*c|", 'A' - 62, 'z'), "  z|");
  EXPECT_EQ(F("%*d|", INT32_MIN, 1).size(), kiv::fmt::kFormatBufferSize - 1);
}

TEST(FormatLimits, PlaceholderTextOfSixtyCharactersEndsTheOutput) {
  const std::string fifty_seven(57, '-');
  const std::string fifty_eight(58, '-');
  EXPECT_EQ(F(("<%" + fifty_seven + "d>").c_str(), 1), "<1>");
  EXPECT_EQ(F(("<%" + fifty_eight + "d>").c_str(), 1), "<");
  // The position and its "$" are not part of the count; a star's are.
  EXPECT_EQ(F(("<%1$" + fifty_seven + "d>").c_str(), 1), "<1>");
  EXPECT_EQ(F(("<%" + std::string(54, '-') + "*2$d>").c_str(), 1, 2), "<1 >");
  EXPECT_EQ(F(("<%" + std::string(55, '-') + "*2$d>").c_str(), 1, 2), "<");
  // A long run of digits is a width that reaches the limit.
  EXPECT_EQ(F(("<%" + std::string(70, '9') + "d>").c_str(), 1), "<");
}

TEST(FormatLimits, CutTemplatesEndCleanly) {
  EXPECT_EQ(F("abc%"), "abc");
  EXPECT_EQ(F("v=%", 7), "v=7");
  EXPECT_EQ(F("v=%1$", 7), "v=7");
  EXPECT_EQ(F("v=%1$-", 7), "v=7");
  EXPECT_EQ(F("v=%*", 5), "v=");
  EXPECT_EQ(F("v=%*", 3, 7), "v=  7");
  EXPECT_EQ(F("v=%1$*", 7), "v=      7");  // the star takes argument 1 in sequence
  EXPECT_EQ(F("v=%1$*", "t"), "v=");
  EXPECT_EQ(F("v=%1$*2$", 7, 3), "v=  7");
  EXPECT_EQ(F("v=%.", 1.5), "v=2");
  EXPECT_EQ(F("v=%.*", 1), "v=");
  EXPECT_EQ(F("v=%ll", int64_t{-5}), "v=-5");
  EXPECT_EQ(F("v=%hh", 300), "v=44");
  EXPECT_EQ(F("v=%05", 7), "v=00007");
}

TEST(FormatLimits, HugeWidthsAreCutToTheBuffer) {
  const std::string wide = F("%99999999999999999999d", 1);
  ASSERT_EQ(wide.size(), kiv::fmt::kFormatBufferSize - 1);
  EXPECT_EQ(wide.find_first_not_of(' '), std::string::npos);
  const std::string precise = F("%1$.2000000000f", 1.0);
  ASSERT_EQ(precise.size(), kiv::fmt::kFormatBufferSize - 1);
  EXPECT_EQ(precise.substr(0, 4), "1.00");
  EXPECT_EQ(F("%*d", INT32_MAX, 1).size(), kiv::fmt::kFormatBufferSize - 1);
}

TEST(FormatBuffer, ResultIsCutToTheBuffer) {
  const std::string big(5000, 'y');
  EXPECT_EQ(F(big.c_str()), big.substr(0, 4095));
  EXPECT_EQ(F("%1", big), big.substr(0, 4095));
  EXPECT_EQ(F("x%1", big), "x" + big.substr(0, 4094));
}

TEST(FormatBuffer, EverySmallSizeGivesAPrefixWithoutOverflow) {
  const char* templ = "V %1 for '%2' of %3$-6s|%4$08.3f|%5$*6$x|%%|%2";
  const std::vector<Arg> args = {Arg(int64_t{-1234567}), Arg("name"), Arg("type"), Arg(3.25), Arg(255u), Arg(7)};
  const std::string full = Into(4096, templ, args);
  ASSERT_EQ(full, "V -1234567 for 'name' of type  |0003.250|     ff|%|name");
  for (std::size_t size = 1; size <= full.size() + 2; ++size) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Into(size, templ, args), full.substr(0, std::min(full.size(), size - 1)));
  }
  char untouched = 'q';
  EXPECT_EQ(FormatInto(&untouched, 0, templ, args.data(), args.size()), 0u);
  EXPECT_EQ(untouched, 'q');
  char one[1] = {'q'};
  EXPECT_EQ(FormatInto(one, 1, templ, args.data(), args.size()), 0u);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(Into(8, nullptr, {}), "");
  EXPECT_EQ(Into(8, "%1", {}), "");
}

TEST(FormatBuffer, AllocatesOnlyTheResult) {
  (void)F("warm up the allocation front end %1", 1);
  const uint64_t before = kiv::mem::ReadAllocationStats().allocations;
  const kiv::String s = kiv::Format("Value %1 for '%2' of type %3 is out of range", int64_t{99}, "count", "int8");
  EXPECT_EQ(kiv::mem::ReadAllocationStats().allocations - before, 1u);
  EXPECT_EQ(s, "Value 99 for 'count' of type int8 is out of range");
}

// ExpandNamed with its results gathered for comparison.
struct Expanded {
  std::string positional;
  FieldTable fields;
};

Expanded Expand(const char* templ, const std::vector<NamedArg>& args) {
  Expanded e;
  kiv::String positional("stale");
  ExpandNamed(templ, args.data(), args.size(), &positional, &e.fields);
  e.positional.assign(positional.data(), positional.size());
  return e;
}

std::vector<std::string> Names(const FieldTable& fields) {
  std::vector<std::string> names;
  for (const auto& [name, value] : fields) names.emplace_back(name.data(), name.size());
  return names;
}

using Strings = std::vector<std::string>;

TEST(FormatNamed, FieldsBecomeNumberedPlaceholders) {
  Expanded e = Expand("Error response for {method} {url}: {error}",
                      {NamedArg::Text("GET"), NamedArg::Text("/x"), NamedArg::Text("boom")});
  EXPECT_EQ(e.positional, "Error response for %1 %2: %3");
  EXPECT_EQ(Names(e.fields), (Strings{"error", "method", "url"}));
  EXPECT_EQ(e.fields.find("url")->second.text, "/x");
  EXPECT_EQ(F(e.positional.c_str(), "GET", "/x", "boom"), "Error response for GET /x: boom");

  e = Expand("{n:05d}", {NamedArg::Signed(42)});
  EXPECT_EQ(e.positional, "%1$05d");
  EXPECT_EQ(F(e.positional.c_str(), int64_t{42}), "00042");
  // An empty conversion text after ":" adds nothing.
  EXPECT_EQ(Expand("{n:} left", {NamedArg::Signed(1)}).positional, "%1 left");

  e = Expand("{a}{a}", {NamedArg::Text("first"), NamedArg::Text("second")});
  EXPECT_EQ(e.positional, "%1%2");
  ASSERT_EQ(e.fields.size(), 1u);
  EXPECT_EQ(e.fields.begin()->second.text, "second");

  // Fields past the arguments use up their numbers and print nothing.
  e = Expand("{a}/{b}/{c}", {NamedArg::Signed(1)});
  EXPECT_EQ(e.positional, "%1//");
  EXPECT_EQ(Names(e.fields), (Strings{"a"}));
}

TEST(FormatNamed, BracesEscapesAndUnclosedFields) {
  EXPECT_EQ(Expand("{{literal}}", {}).positional, "{literal}");
  EXPECT_EQ(Expand("a } b", {}).positional, "a } b");
  EXPECT_EQ(Expand("100%% {x}", {NamedArg::Signed(1)}).positional, "100%% %1");
  Expanded e = Expand("{a\\:b\\}c{?x\\?}", {NamedArg::Signed(0)});
  EXPECT_EQ(e.positional, "x?");  // name "a:b}c", alternative "x?"
  EXPECT_TRUE(e.fields.empty());
  e = Expand("{a\\:b}", {NamedArg::Signed(1)});
  EXPECT_EQ(Names(e.fields), (Strings{"a:b"}));
  EXPECT_EQ(Expand("{a{b}", {NamedArg::Signed(1)}).fields.count("ab"), 1u);
  EXPECT_EQ(Expand("kept {dropped", {NamedArg::Signed(1)}).positional, "kept ");
  e = Expand("kept {x} {y\\", {NamedArg::Signed(1), NamedArg::Signed(2)});
  EXPECT_EQ(e.positional, "kept %1 ");
  EXPECT_EQ(Names(e.fields), (Strings{"x"}));
  EXPECT_EQ(Expand("back\\slash", {}).positional, "back\\slash");
}

TEST(FormatNamed, TypedNames) {
  Expanded e = Expand("{#count} items", {NamedArg::Signed(3)});
  EXPECT_EQ(e.positional, "%1 items");
  EXPECT_EQ(Names(e.fields), (Strings{"count_int"}));
  e = Expand("{#x_str}{#x_count}{#f}{#u}{#b}{#t}", {NamedArg::Signed(1), NamedArg::Signed(2), NamedArg::Double(0.5),
                                                    NamedArg::Unsigned(4), NamedArg::Bool(true), NamedArg::Text("t")});
  EXPECT_EQ(Names(e.fields), (Strings{"b_bool", "f_float", "t_str", "u_int", "x_count_int", "x_str"}));
  EXPECT_EQ(Names(Expand("{#at_time}{#n_}", {NamedArg::Signed(1), NamedArg::Signed(2)}).fields),
            (Strings{"at_time", "n__int"}));
  // "#" only counts right after the brace.
  EXPECT_EQ(Names(Expand("{a#}", {NamedArg::Signed(1)}).fields), (Strings{"a#"}));
}

TEST(FormatNamed, AlternativesForEmptyValues) {
  Expanded e = Expand("took {ms?n/a}", {NamedArg::Signed(0)});
  EXPECT_EQ(e.positional, "took n/a");
  EXPECT_TRUE(e.fields.empty());
  e = Expand("took {ms?n/a}", {NamedArg::Signed(12)});
  EXPECT_EQ(e.positional, "took %1");
  EXPECT_EQ(Names(e.fields), (Strings{"ms"}));

  const std::vector<NamedArg> empty = {NamedArg::Bool(false), NamedArg::Unsigned(0), NamedArg::Double(-0.0),
                                       NamedArg::Text("")};
  EXPECT_EQ(Expand("{a?A}{b?B}{c?C}{d?D}", empty).positional, "ABCD");
  const std::vector<NamedArg> full = {NamedArg::Bool(true), NamedArg::Unsigned(1), NamedArg::Double(std::nan("")),
                                      NamedArg::Text(" ")};
  EXPECT_EQ(Expand("{a?A}{b?B}{c?C}{d?D}", full).positional, "%1%2%3%4");
  // The alternative's text and the field's number still advance.
  EXPECT_EQ(Expand("{a?-} {b}", {NamedArg::Signed(0), NamedArg::Signed(5)}).positional, "- %2");
}

TEST(FormatNamed, HiddenFieldsAreRecordedButNotPrinted) {
  Expanded e = Expand("value   {!note}", {NamedArg::Text("n")});
  EXPECT_EQ(e.positional, "value");
  EXPECT_EQ(Names(e.fields), (Strings{"note"}));
  e = Expand("a \t\n{!h} {b}", {NamedArg::Signed(1), NamedArg::Signed(2)});
  EXPECT_EQ(e.positional, "a %2");
}

TEST(FormatNamed, PositionalPlaceholdersPassThrough) {
  Expanded e = Expand("{a} %s {b}", {NamedArg::Text("x"), NamedArg::Text("y"), NamedArg::Text("z")});
  EXPECT_EQ(e.positional, "%1 %s %3");
  EXPECT_EQ(Names(e.fields), (Strings{"a", "b"}));
  EXPECT_EQ(Expand("%2$-4s {x}", {NamedArg::Signed(1), NamedArg::Signed(2), NamedArg::Signed(3)}).positional,
            "%2$-4s %3");
  EXPECT_EQ(Expand("%1 {x}", {NamedArg::Signed(1), NamedArg::Signed(2)}).positional, "%1 %2");
  EXPECT_EQ(Expand("{x} end %", {NamedArg::Signed(1)}).positional, "%1 end %");
}

TEST(FormatNamed, BareNumberFollowedByDigitStaysOneArgument) {
  Expanded e = Expand("{n}5 and {m}$", {NamedArg::Signed(4), NamedArg::Text("t")});
  EXPECT_EQ(e.positional, "%1$s5 and %2$s$");
  EXPECT_EQ(F(e.positional.c_str(), int64_t{4}, "t"), "45 and t$");
  EXPECT_EQ(Expand("{n}{m?7}", {NamedArg::Signed(4), NamedArg::Signed(0)}).positional, "%1$s7");
  EXPECT_EQ(Expand("{n} {!h}", {NamedArg::Signed(4), NamedArg::Signed(0)}).positional, "%1");
}

TEST(FormatNamed, NullInputs) {
  kiv::String out("stale");
  ExpandNamed(nullptr, nullptr, 0, &out, nullptr);
  EXPECT_EQ(out, "");
  ExpandNamed("{a} x", nullptr, 3, &out, nullptr);
  EXPECT_EQ(out, " x");
  const NamedArg one = NamedArg::Signed(1);
  ExpandNamed("{a} x", &one, 1, &out, nullptr);
  EXPECT_EQ(out, "%1 x");
}

}  // namespace
