#include "readers/yaml_reader.h"

#include <yaml.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "logging/format.h"
#include "logging/memory.h"

namespace kiv::codecs {
namespace {

using binding::Value;
using binding::ValueMember;
using binding::ValueResult;

constexpr const char* kParserMessage = "YAML parser error: %1. At line: %2 col: %3";
constexpr const char* kMultiDocumentMessage = "Multi-document YAML is not supported.";
constexpr const char* kInvalidKeyMessage =
    "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2";
constexpr const char* kSequenceKeyMessage = "Unexpected start of sequence. At line: %1 col: %2";
constexpr const char* kMappingKeyMessage = "Unexpected start of mapping. At line: %1 col: %2";
constexpr const char* kDuplicateAnchorMessage = "Duplicate occurrence of anchor \"%1\". At line: %2 col: %3";
constexpr const char* kUndefinedAliasMessage = "Undefined alias encountered: \"%1\". At line: %2 col: %3";
constexpr const char* kCyclicAliasMessage = "Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3";
constexpr const char* kUnsupportedTagMessage = "Unsupported YAML tag '%1'.";
constexpr const char* kOutOfRangeMessage = "Value %1 for '%2' of type %3 is out of range";
constexpr const char* kBadFormatMessage = "Value %1 for '%2' of type %3 is in an incorrect format";
constexpr const char* kNestingMessage = "YAML nesting is deeper than %1 levels. At line: %2 col: %3";
constexpr const char* kExpansionMessage =
    "Excessive aliasing: YAML aliases build more than the text's size allows. Alias \"%1\". At line: %2 col: %3";
constexpr const char* kRepeatedKeysMessage =
    "YAML mapping keys repeat too often in large mappings. At line: %1 col: %2";
constexpr const char* kMemoryMessage = "Not enough memory to read the YAML text.";

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";
constexpr const char* kValueName = "yaml";

// ---------------------------------------------------------------------------
// Scalar texts

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// For a number the parser reported out of range: whether its magnitude lies
// above 1 (an overflow) rather than below (an underflow). `t` is the text
// after sign and "0x"; hexadecimal digits and exponents count in bits.
bool OverflowSide(std::string_view t, bool hex) {
  const int base = hex ? 16 : 10;
  const int64_t scale = hex ? 4 : 1;
  std::size_t i = 0;
  int64_t leadingDigits = 0;  // significant digits before the point
  int64_t fractionZeros = 0;  // zeros after the point before the first other digit
  bool significant = false;
  for (; i < t.size() && DigitValue(t[i]) < base; ++i) {
    if (significant || t[i] != '0') {
      significant = true;
      ++leadingDigits;
    }
  }
  if (i < t.size() && t[i] == '.') {
    for (++i; i < t.size() && DigitValue(t[i]) < base; ++i) {
      if (significant) continue;
      if (t[i] == '0') {
        ++fractionZeros;
      } else {
        significant = true;
      }
    }
  }
  int64_t exponent = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E' || t[i] == 'p' || t[i] == 'P')) {
    ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
      if (exponent < 1000000000000) exponent = exponent * 10 + (t[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  const int64_t order = leadingDigits > 0 ? (leadingDigits - 1) * scale : -(fractionZeros + 1) * scale;
  return order + exponent >= 0;
}

// The C library's strtod over the whole text, in the C locale: leading white
// space, a sign, decimal and "0x" hexadecimal forms, inf and nan. An overflow
// gives an infinity, an underflow zero, as strtod does. False unless the
// whole text is one number.
bool ParseCDouble(std::string_view text, double* out) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] == '+' || text[i] == '-') return false;
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  bool hex = false;
  if (last - first >= 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
    // strtod takes the prefix only before a digit or a point; otherwise it
    // stops after the "0" and the text is no number as a whole.
    if (last - first < 3 || (DigitValue(first[2]) > 15 && first[2] != '.')) return false;
    first += 2;
    hex = true;
  }
  double value = 0.0;
  const auto parsed = std::from_chars(first, last, value, hex ? std::chars_format::hex : std::chars_format::general);
  if (parsed.ptr != last) return false;
  if (parsed.ec == std::errc::result_out_of_range) {
    value = OverflowSide(std::string_view(first, static_cast<std::size_t>(last - first)), hex) ? HUGE_VAL : 0.0;
  } else if (parsed.ec != std::errc()) {
    return false;
  }
  *out = negative ? -value : value;
  return true;
}

enum class IntRead { kOk, kFormat, kRange };

// The C library's strtoll / strtoull with base 0 over the whole text: leading
// white space, a sign, "0x" hexadecimal, a leading "0" octal. The empty text
// reads as 0.
IntRead ParseCInteger(std::string_view text, bool isSigned, int64_t* signedOut, uint64_t* unsignedOut) {
  *signedOut = 0;
  *unsignedOut = 0;
  if (text.empty()) return IntRead::kOk;
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '0') {
    base = 8;
    if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && DigitValue(text[i + 2]) < 16) {
      base = 16;
      i += 2;
    }
  }
  const std::size_t start = i;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i]);
    if (digit >= base) break;
    const auto d = static_cast<uint64_t>(digit);
    if (magnitude > (UINT64_MAX - d) / static_cast<uint64_t>(base)) {
      overflow = true;
    } else {
      magnitude = magnitude * static_cast<uint64_t>(base) + d;
    }
  }
  if (i == start || i != text.size()) return IntRead::kFormat;
  if (overflow) return IntRead::kRange;
  constexpr uint64_t kSignedLimit = uint64_t{1} << 63;
  if (isSigned) {
    if (negative) {
      if (magnitude > kSignedLimit) return IntRead::kRange;
      *signedOut = magnitude == kSignedLimit ? INT64_MIN : -static_cast<int64_t>(magnitude);
    } else {
      if (magnitude >= kSignedLimit) return IntRead::kRange;
      *signedOut = static_cast<int64_t>(magnitude);
    }
    return IntRead::kOk;
  }
  if (negative) return IntRead::kRange;
  *unsignedOut = magnitude;
  return IntRead::kOk;
}

// 1 for the true words, 0 for the false words, -1 for any other text.
int BoolWord(std::string_view t) {
  switch (t.size()) {
    case 1:
      if (t[0] == 'y' || t[0] == 'Y') return 1;
      if (t[0] == 'n' || t[0] == 'N') return 0;
      return -1;
    case 2:
      if (t == "on" || t == "On" || t == "ON") return 1;
      if (t == "no" || t == "No" || t == "NO") return 0;
      return -1;
    case 3:
      if (t == "yes" || t == "Yes" || t == "YES") return 1;
      if (t == "off" || t == "Off" || t == "OFF") return 0;
      return -1;
    case 4:
      return t == "true" || t == "True" || t == "TRUE" ? 1 : -1;
    case 5:
      return t == "false" || t == "False" || t == "FALSE" ? 0 : -1;
    default:
      return -1;
  }
}

bool IsNullWord(std::string_view t) { return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL"; }

// An integral number becomes Signed below zero and Unsigned otherwise; one
// that no 64-bit kind can hold keeps its value as a Float.
void StoreNumber(Value& v, double d) {
  if (std::isnan(d) || d != std::trunc(d)) {
    v.SetFloat(d);
  } else if (d < 0) {
    if (d >= -9223372036854775808.0) {
      v.SetSigned(static_cast<int64_t>(d));
    } else {
      v.SetFloat(d);
    }
  } else if (d < 18446744073709551616.0) {
    v.SetUnsigned(static_cast<uint64_t>(d));
  } else {
    v.SetFloat(d);
  }
}

// Decimal integers are taken exactly, without the round trip through a double
// that would change ids above 2^53; one beyond its 64-bit kind keeps its value
// as a Float rather than rounding onto the kind's end. `magnitude` holds the
// digits unless there are more than 19 of them.
void StoreDecimalInteger(Value& v, std::string_view t, bool negative, uint64_t magnitude, std::size_t digits) {
  constexpr uint64_t kSignedLimit = uint64_t{1} << 63;
  if (digits > 19) {
    // Twenty digits may still fit an unsigned number.
    constexpr uint64_t kTenth = UINT64_MAX / 10;
    magnitude = 0;
    bool overflow = false;
    for (const char c : t.substr(t.size() - digits)) {
      const auto d = static_cast<uint64_t>(c - '0');
      if (magnitude > kTenth || (magnitude == kTenth && d > UINT64_MAX % 10)) {
        overflow = true;
        break;
      }
      magnitude = magnitude * 10 + d;
    }
    if (overflow) {
      double d = 0.0;
      ParseCDouble(t, &d);
      v.SetFloat(d);
      return;
    }
  }
  if (!negative || magnitude == 0) {
    v.SetUnsigned(magnitude);
  } else if (magnitude < kSignedLimit) {
    v.SetSigned(-static_cast<int64_t>(magnitude));
  } else if (magnitude == kSignedLimit) {
    v.SetSigned(INT64_MIN);
  } else {
    double d = 0.0;
    ParseCDouble(t, &d);
    v.SetFloat(d);
  }
}

// Plain numbers in the usual decimal forms, read in one pass: integers
// exactly, and decimals whose digits fit 2^53 with a power of ten up to 22
// by one correctly rounded multiplication or division of exact doubles,
// which is what strtod gives. The latter only where double arithmetic is not
// carried out in a wider format, which would round twice. False for a text
// that needs the full conversion (or is no number).
bool StoreDecimal(Value& v, std::string_view t) {
  const char* p = t.data();
  const char* const end = p + t.size();
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  const char* const integerStart = p;
  uint64_t mantissa = 0;  // wraps beyond 19 digits; those take the slow way
  for (unsigned d; p != end && (d = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0')) <= 9; ++p) {
    mantissa = mantissa * 10 + d;
  }
  const auto integerDigits = static_cast<std::size_t>(p - integerStart);
  if (integerDigits == 0) return false;
  if (p == end) {
    StoreDecimalInteger(v, t, negative, mantissa, integerDigits);
    return true;
  }
  if constexpr (FLT_EVAL_METHOD != 0) {
    return false;
  } else {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::size_t fractionDigits = 0;
    if (*p == '.') {
      const char* const fractionStart = ++p;
      for (unsigned d; p != end && (d = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0')) <= 9; ++p) {
        mantissa = mantissa * 10 + d;
      }
      fractionDigits = static_cast<std::size_t>(p - fractionStart);
      if (fractionDigits == 0) return false;
    }
    if (integerDigits + fractionDigits > 19 || mantissa > (uint64_t{1} << 53)) return false;
    int scale = -static_cast<int>(fractionDigits);
    if (p != end && (*p == 'e' || *p == 'E')) {
      ++p;
      bool negativeExponent = false;
      if (p != end && (*p == '-' || *p == '+')) negativeExponent = *p++ == '-';
      const char* const exponentStart = p;
      int exponent = 0;
      for (unsigned d;
           p != end && exponent < 1000 && (d = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0')) <= 9; ++p) {
        exponent = exponent * 10 + static_cast<int>(d);
      }
      if (p == exponentStart) return false;
      scale += negativeExponent ? -exponent : exponent;
    }
    if (p != end || scale < -22 || scale > 22) return false;
    double value = static_cast<double>(mantissa);
    value = scale < 0 ? value / kPowers[-scale] : value * kPowers[scale];
    StoreNumber(v, negative ? -value : value);
    return true;
  }
}

// Plain, literal and folded scalars without a tag.
void ResolvePlain(Value& v, std::string_view t) {
  if (t.empty()) {
    v.Reset();
    return;
  }
  const char c = t[0];
  const bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || IsCSpace(c);
  // Of the words strtod knows, only nan can be a number here: inf is the
  // positive infinity, which does not count as one.
  const bool nan = (c == 'n' || c == 'N') && t.size() >= 3 && (t[1] == 'a' || t[1] == 'A');
  if (numeric || nan) {
    if (numeric && StoreDecimal(v, t)) return;
    double d = 0.0;
    if (ParseCDouble(t, &d) && d != HUGE_VAL) {
      StoreNumber(v, d);
      return;
    }
  }
  if (t.size() <= 5) {
    if (IsNullWord(t)) {
      v.Reset();
      return;
    }
    const int word = BoolWord(t);
    if (word >= 0) {
      v.SetBool(word == 1);
      return;
    }
  }
  v.SetString(t);
}

unsigned long long Line(const yaml_mark_t& mark) { return static_cast<unsigned long long>(mark.line) + 1; }
unsigned long long Column(const yaml_mark_t& mark) { return static_cast<unsigned long long>(mark.column) + 1; }

std::string_view Text(const yaml_char_t* text) {
  return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

// ---------------------------------------------------------------------------
// The builder

constexpr uint32_t kNoNode = 0xFFFFFFFFu;
// Up to this many members, a mapping being filled finds a repeated key by
// scanning the hashes of its keys; from then on through a hash index.
constexpr std::size_t kIndexedMapSize = 64;

enum class Step : uint8_t { kRoot, kElement, kMember };

// One step of the way from the root to a node. Nodes form a tree through
// their parents, so a recorded path is one node number; the nodes live on a
// stack and a node is dropped when its frame closes, unless an anchor holds it.
struct PathNode {
  uint32_t parent;
  uint32_t frame;  // frame number + 1 while the node is being filled, else 0
  uint32_t element;
  uint32_t keyOffset;  // member steps: the key in the key pool
  uint32_t keyLength;
  Step step;
  bool pinned;
};

constexpr uint32_t kNoAnchor = 0xFFFFFFFFu;

// An anchor; its name and, for an anchor on a mapping key, the key's text lie
// in the anchor text pool.
struct Anchor {
  uint32_t nameOffset;
  uint32_t nameLength;
  uint32_t keyOffset;
  uint32_t keyLength;
  uint32_t node;  // an anchor on a node other than a key: its path; kNoNode for a key
  bool open;      // its sequence or mapping is still being filled
};

// Key hash -> member number for a large mapping being filled.
struct KeyIndex {
  Vector<uint64_t> slots;  // (hash << 32) | (member number + 1); 0 is free
};

enum class FrameKind : uint8_t { kPending, kSequence, kMapping };

// A node being filled. A mapping gets its members through AppendMember, which
// puts each new member at the end of the member array and leaves the array
// alone until the mapping is next read. The builder never reads an open
// mapping through the value, so member i stays at members[i] (frames of its
// children point into that array), and a repeated key is found through the
// frame's own key hashes.
struct Frame {
  Value* target;
  uint32_t anchor;       // kNoAnchor or the node's anchor
  ValueMember* members;  // mappings: the first member record
  uint32_t node;
  uint32_t count;      // elements or members so far
  uint32_t hashStart;  // mappings: where their key hashes begin in the hash stack
  uint32_t index;      // mappings: key index number + 1 once indexed, else 0
  uint32_t lastSize;   // sequences: the size of the last element that was a container
  FrameKind kind;
  FrameKind lastKind;  // sequences: and its kind
};

struct ChildStep {
  Step step = Step::kRoot;
  uint32_t element = 0;
};

// Where a member's value lies within its member record, learned once from a
// real record.
std::ptrdiff_t MemberValueOffset() {
  static const std::ptrdiff_t offset = [] {
    Value probe;
    const Value& value = probe.Member("");
    const ValueMember& member = probe.Members()[0];
    return reinterpret_cast<const char*>(&value) - reinterpret_cast<const char*>(&member);
  }();
  return offset;
}

class YamlBuilder {
 public:
  YamlBuilder(std::string_view text, ValueResult& result)
      : text_(text), result_(result), valueOffset_(MemberValueOffset()), budget_(text.size()) {
    nodes_.push_back(PathNode{kNoNode, 1, 0, 0, 0, Step::kRoot, false});
    frames_.reserve(64);
    keyHashes_.reserve(256);
    frames_.push_back(Frame{&result_, kNoAnchor, nullptr, 0, 0, 0, 0, 0, FrameKind::kPending, FrameKind::kPending});
  }

  ~YamlBuilder() { yaml_event_delete(&keyEvent_); }
  YamlBuilder(const YamlBuilder&) = delete;
  YamlBuilder& operator=(const YamlBuilder&) = delete;

  void Run() {
    yaml_parser_t parser;
    if (yaml_parser_initialize(&parser) == 0) {
      Fail(kMemoryMessage);
      return;
    }
    struct ParserGuard {
      yaml_parser_t* parser;
      ~ParserGuard() { yaml_parser_delete(parser); }
    } parserGuard{&parser};
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    // The library insists on a non-null input even when it is empty.
    const char* input = text_.data() != nullptr ? text_.data() : "";
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(input), text_.size());

    bool parserFailed = false;
    for (;;) {
      yaml_event_t event;
      if (yaml_parser_parse(&parser, &event) == 0) {
        parserFailed = true;
        break;
      }
      struct EventGuard {
        yaml_event_t* event;
        ~EventGuard() { yaml_event_delete(event); }
      } eventGuard{&event};
      if (event.type == YAML_STREAM_END_EVENT) break;
      Handle(event);
      if (failed_) break;
    }
    if (!failed_ && parserFailed) {
      if (parser.error == YAML_MEMORY_ERROR) {
        Fail(kMemoryMessage);
      } else {
        const char* problem = parser.problem != nullptr ? parser.problem : "unknown problem";
        Fail(Format(kParserMessage, problem, static_cast<unsigned long long>(parser.problem_mark.line),
                    static_cast<unsigned long long>(parser.problem_mark.column)));
      }
    }
  }

 private:
  void Fail(std::string_view message) {
    failed_ = true;
    // Dropping the tree at once (its arena) before the message goes in.
    result_.Reset();
    result_.Fail(message);
  }
  void Fail(const String& message) { Fail(std::string_view(message.data(), message.size())); }
  void Fail(const char* message) { Fail(std::string_view(message)); }

  void Handle(yaml_event_t& e) {
    switch (e.type) {
      case YAML_DOCUMENT_START_EVENT:
        if (documents_++ != 0) Fail(kMultiDocumentMessage);
        return;
      case YAML_SCALAR_EVENT:
        if (!frames_.empty()) OnScalar(e);
        return;
      case YAML_SEQUENCE_START_EVENT:
        if (!frames_.empty()) OnStart(e, FrameKind::kSequence, Text(e.data.sequence_start.anchor));
        return;
      case YAML_MAPPING_START_EVENT:
        if (!frames_.empty()) OnStart(e, FrameKind::kMapping, Text(e.data.mapping_start.anchor));
        return;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        if (!frames_.empty()) PopFrame();
        return;
      case YAML_ALIAS_EVENT:
        if (!frames_.empty()) OnAlias(e);
        return;
      default:  // stream start, document end
        return;
    }
  }

  std::size_t OpenContainers() const { return frames_.size() - (frames_.front().kind == FrameKind::kPending ? 1 : 0); }

  // The node the next event fills below the innermost frame: a new element,
  // or the member of the pending key. Null when the event fills the frame's
  // own node (the root, before anything was read).
  Value* OpenChild(ChildStep* step) {
    Frame& top = frames_.back();
    if (top.kind == FrameKind::kSequence) {
      Value& element = top.target->Append();
      step->step = Step::kElement;
      step->element = top.count++;
      return &element;
    }
    if (top.kind == FrameKind::kMapping) {
      hasPendingKey_ = false;
      step->step = Step::kMember;
      return &MapSlot(top, pendingKey_, pendingHash_);
    }
    return nullptr;
  }

  void OnScalar(yaml_event_t& e) {
    if (frames_.back().kind == FrameKind::kMapping && !hasPendingKey_) {
      OnKey(e);
      return;
    }
    ChildStep step;
    Value* target = OpenChild(&step);
    const bool own = target == nullptr;
    if (own) target = frames_.back().target;
    if (!StoreScalar(*target, e)) return;
    const std::string_view anchor = Text(e.data.scalar.anchor);
    if (!anchor.empty()) {
      const uint32_t node = own ? frames_.back().node : NewNode(frames_.back().node, step);
      if (Record(anchor, node, e.start_mark) == kNoAnchor) return;
    }
    if (own) PopFrame();
  }

  void OnKey(yaml_event_t& e) {
    const char* tag = reinterpret_cast<const char*>(e.data.scalar.tag);
    if (tag != nullptr && std::strcmp(tag, "tag:yaml.org,2002:str") != 0) {
      Fail(Format(kInvalidKeyMessage, Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    // The key is used where the event left it: the event is kept until the
    // next key arrives, when this one has long been consumed.
    yaml_event_delete(&keyEvent_);
    keyEvent_ = e;
    std::memset(&e, 0, sizeof e);
    // Keys are cut at a zero byte as the value tree cuts them, so that two
    // texts name the same member exactly when their keys are equal.
    std::string_view key(reinterpret_cast<const char*>(keyEvent_.data.scalar.value), keyEvent_.data.scalar.length);
    pendingHash_ = binding::CutAndHash(key);
    pendingKey_ = key;
    hasPendingKey_ = true;
    const std::string_view anchor = Text(keyEvent_.data.scalar.anchor);
    if (!anchor.empty()) {
      const uint32_t record = Record(anchor, kNoNode, keyEvent_.start_mark);
      if (record == kNoAnchor) return;
      anchors_[record].keyOffset = static_cast<uint32_t>(anchorText_.size());
      anchors_[record].keyLength = static_cast<uint32_t>(pendingKey_.size());
      anchorText_.insert(anchorText_.end(), pendingKey_.begin(), pendingKey_.end());
    }
  }

  void OnStart(const yaml_event_t& e, FrameKind kind, std::string_view anchor) {
    if (frames_.back().kind == FrameKind::kMapping && !hasPendingKey_) {
      Fail(Format(kind == FrameKind::kSequence ? kSequenceKeyMessage : kMappingKeyMessage, Line(e.start_mark),
                  Column(e.start_mark)));
      return;
    }
    if (OpenContainers() >= kYamlMaxNesting) {
      Fail(Format(kNestingMessage, static_cast<uint32_t>(kYamlMaxNesting), Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    ChildStep step;
    Value* target = OpenChild(&step);
    // Elements of one sequence tend to have one shape: room for as many
    // elements or members as the last one had saves growing step by step.
    uint32_t expected = 0;
    if (step.step == Step::kElement && frames_.back().lastKind == kind) expected = frames_.back().lastSize;
    if (target != nullptr) {
      const uint32_t node = NewNode(frames_.back().node, step);
      frames_.push_back(Frame{target, kNoAnchor, nullptr, node, 0, 0, 0, 0, kind, FrameKind::kPending});
    } else {
      target = frames_.back().target;
      frames_.back().kind = kind;
    }
    Frame& frame = frames_.back();
    nodes_[frame.node].frame = static_cast<uint32_t>(frames_.size());
    if (kind == FrameKind::kSequence) {
      // A sequence under a key seen before goes on after that sequence's elements.
      target->MakeCollection();
      frame.count = static_cast<uint32_t>(target->Size());
      if (expected != 0 && frame.count == 0) target->Reserve(expected);
    } else {
      // A mapping under a key seen before merges into that mapping.
      const bool merge = target->IsStructure();
      target->MakeStructure();
      frame.hashStart = static_cast<uint32_t>(keyHashes_.size());
      if (merge && !AdoptMembers(frame, e.start_mark)) return;
      if (expected != 0 && frame.count == 0) target->ReserveMembers(expected);
    }
    if (!anchor.empty()) {
      const uint32_t record = Record(anchor, frame.node, e.start_mark);
      if (record == kNoAnchor) return;
      anchors_[record].open = true;
      frame.anchor = record;
    }
  }

  void OnAlias(const yaml_event_t& e) {
    const std::string_view name = Text(e.data.alias.anchor);
    const uint32_t found = FindAnchor(name, binding::Fnv1a(name));
    if (found != kNoAnchor && anchors_[found].open) {
      Fail(Format(kCyclicAliasMessage, name, Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    if (found == kNoAnchor) {
      Fail(Format(kUndefinedAliasMessage, name, Line(e.start_mark), Column(e.start_mark)));
      return;
    }
    const Anchor anchor = anchors_[found];
    if (frames_.back().kind == FrameKind::kMapping && !hasPendingKey_) {
      AliasAsKey(anchor, name, e.start_mark);
      return;
    }
    ChildStep step;
    Value* target = OpenChild(&step);
    const bool own = target == nullptr;
    if (own) target = frames_.back().target;
    if (anchor.node == kNoNode) {
      if (!Charge(1, KeyText(anchor).size(), name, e.start_mark)) return;
      target->SetString(KeyText(anchor));
    } else {
      // Resolved only now: opening the target may have moved its siblings.
      const Value* source = Resolve(anchor.node, name, e.start_mark);
      if (source == nullptr || !Measure(*source, name, e.start_mark)) return;
      target->CopyFrom(*source);
    }
    if (own) PopFrame();
  }

  // An alias in the place of a key stands for the text of its node.
  void AliasAsKey(const Anchor& anchor, std::string_view name, const yaml_mark_t& mark) {
    if (anchor.node == kNoNode) {
      if (!Charge(1, KeyText(anchor).size(), name, mark)) return;
      const std::string_view text = KeyText(anchor);
      keyCopy_.assign(text.data(), text.size());
    } else {
      const Value* source = Resolve(anchor.node, name, mark);
      if (source == nullptr) return;
      if (!source->IsString()) {
        Fail(Format(kInvalidKeyMessage, Line(mark), Column(mark)));
        return;
      }
      const std::string_view text = source->AsText();
      if (!Charge(1, text.size(), name, mark)) return;
      keyCopy_.assign(text.data(), text.size());
    }
    // A copy: the tree or the anchor texts may change before the key is used.
    pendingKey_ = std::string_view(keyCopy_.data(), keyCopy_.size());
    pendingHash_ = binding::Fnv1a(pendingKey_);
    hasPendingKey_ = true;
  }

  void PopFrame() {
    const Frame& frame = frames_.back();
    if (frame.anchor != kNoAnchor) anchors_[frame.anchor].open = false;
    if (frame.kind == FrameKind::kMapping) {
      if (frame.index != 0) {
        --indexesUsed_;
      } else {
        keyHashes_.resize(frame.hashStart);
      }
      frame.target->FinishMembers();  // once, so the finished tree is never reordered by a read
    }
    PathNode& node = nodes_[frame.node];
    node.frame = 0;
    if (node.step == Step::kElement) {
      Frame& parent = frames_[frames_.size() - 2];
      parent.lastKind = frame.kind;
      parent.lastSize = std::min<uint32_t>(frame.count, 1024);
    }
    if (!node.pinned && frame.node != 0 && frame.node + 1 == nodes_.size()) {
      keyPool_.resize(node.keyOffset);
      nodes_.pop_back();
    }
    frames_.pop_back();
  }

  uint32_t NewNode(uint32_t parent, const ChildStep& step) {
    PathNode node{parent, 0, step.element, static_cast<uint32_t>(keyPool_.size()), 0, step.step, false};
    if (step.step == Step::kMember) {
      keyPool_.insert(keyPool_.end(), pendingKey_.begin(), pendingKey_.end());
      node.keyLength = static_cast<uint32_t>(pendingKey_.size());
    }
    nodes_.push_back(node);
    return static_cast<uint32_t>(nodes_.size() - 1);
  }

  // ---- anchors

  // The number of the new anchor, or kNoAnchor after failing: a name may be
  // defined once per text.
  uint32_t Record(std::string_view name, uint32_t node, const yaml_mark_t& mark) {
    const uint32_t hash = binding::Fnv1a(name);
    if (FindAnchor(name, hash) != kNoAnchor) {
      Fail(Format(kDuplicateAnchorMessage, name, Line(mark), Column(mark)));
      return kNoAnchor;
    }
    const auto number = static_cast<uint32_t>(anchors_.size());
    anchors_.push_back(
        Anchor{static_cast<uint32_t>(anchorText_.size()), static_cast<uint32_t>(name.size()), 0, 0, node, false});
    anchorText_.insert(anchorText_.end(), name.begin(), name.end());
    if (node != kNoNode) nodes_[node].pinned = true;
    if (2 * anchors_.size() > anchorSlots_.size()) {
      // At most half full, so that a search ends at a free slot soon.
      Vector<uint64_t> old;
      old.swap(anchorSlots_);
      anchorSlots_.assign(std::max<std::size_t>(16, 2 * old.size()), 0);
      for (const uint64_t entry : old) {
        if (entry != 0)
          PlaceSlot(anchorSlots_, static_cast<uint32_t>(entry >> 32),
                    static_cast<std::size_t>(entry & 0xFFFFFFFFu) - 1);
      }
    }
    PlaceSlot(anchorSlots_, hash, number);
    return number;
  }

  uint32_t FindAnchor(std::string_view name, uint32_t hash) const {
    if (anchorSlots_.empty()) return kNoAnchor;
    const std::size_t mask = anchorSlots_.size() - 1;
    for (std::size_t slot = hash & mask; anchorSlots_[slot] != 0; slot = (slot + 1) & mask) {
      if (static_cast<uint32_t>(anchorSlots_[slot] >> 32) != hash) continue;
      const auto number = static_cast<uint32_t>((anchorSlots_[slot] & 0xFFFFFFFFu) - 1);
      const Anchor& anchor = anchors_[number];
      if (std::string_view(anchorText_.data() + anchor.nameOffset, anchor.nameLength) == name) return number;
    }
    return kNoAnchor;
  }

  std::string_view KeyText(const Anchor& anchor) const {
    return std::string_view(anchorText_.data() + anchor.keyOffset, anchor.keyLength);
  }

  // Hash tables here are arrays of (hash << 32) | (number + 1), 0 being free,
  // with a power-of-two size.
  static void PlaceSlot(Vector<uint64_t>& slots, uint32_t hash, std::size_t number) {
    const std::size_t mask = slots.size() - 1;
    std::size_t slot = hash & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = (uint64_t{hash} << 32) | static_cast<uint64_t>(number + 1);
  }

  // ---- mappings

  Value& MapSlot(Frame& frame, std::string_view key, uint32_t hash) {
    if (Value* existing = FindMember(frame, key, hash)) return *existing;
    Value& member = frame.target->AppendMember(key);
    frame.members = reinterpret_cast<ValueMember*>(reinterpret_cast<char*>(&member) - valueOffset_) - frame.count;
    if (frame.index != 0) {
      Insert(indexes_[frame.index - 1], hash, frame.count++);
    } else {
      keyHashes_.push_back(hash);
      if (++frame.count >= kIndexedMapSize) BuildIndex(frame);
    }
    return member;
  }

  Value* FindMember(const Frame& frame, std::string_view key, uint32_t hash) {
    if (frame.index != 0) {
      const Vector<uint64_t>& slots = indexes_[frame.index - 1].slots;
      const std::size_t mask = slots.size() - 1;
      for (std::size_t slot = hash & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
        if (static_cast<uint32_t>(slots[slot] >> 32) != hash) continue;
        ValueMember& member = frame.members[static_cast<std::size_t>(slots[slot] & 0xFFFFFFFFu) - 1];
        if (member.name() == key) return &member.value();
      }
      return nullptr;
    }
    const uint32_t* hashes = keyHashes_.data() + frame.hashStart;
    for (uint32_t i = 0; i < frame.count; ++i) {
      if (hashes[i] == hash && frame.members[i].name() == key) return &frame.members[i].value();
    }
    return nullptr;
  }

  // A mapping that is open again for a repeated key: its members, put in key
  // order once, become the frame's members.
  bool AdoptMembers(Frame& frame, const yaml_mark_t& mark) {
    const std::span<ValueMember> members = frame.target->Members();
    frame.members = members.data();
    frame.count = static_cast<uint32_t>(members.size());
    // Each reopening costs the size of the mapping, charged to the text's
    // budget, so that a text cannot make the read quadratic.
    if (!budget_.Charge(members.size(), 0)) {
      Fail(Format(kRepeatedKeysMessage, Line(mark), Column(mark)));
      return false;
    }
    for (const ValueMember& member : members) keyHashes_.push_back(binding::Fnv1a(member.name()));
    if (members.size() >= kIndexedMapSize) BuildIndex(frame);
    return true;
  }

  // Moves the frame's key hashes (on top of the hash stack) into an index.
  void BuildIndex(Frame& frame) {
    if (indexesUsed_ == indexes_.size()) indexes_.emplace_back();
    KeyIndex& index = indexes_[indexesUsed_++];
    frame.index = static_cast<uint32_t>(indexesUsed_);
    std::size_t capacity = 128;
    while (capacity < 2 * std::size_t{frame.count}) capacity *= 2;
    index.slots.assign(capacity, 0);
    for (uint32_t i = 0; i < frame.count; ++i) PlaceSlot(index.slots, keyHashes_[frame.hashStart + i], i);
    keyHashes_.resize(frame.hashStart);
  }

  static void Insert(KeyIndex& index, uint32_t hash, std::size_t number) {
    if (2 * (number + 1) > index.slots.size()) {
      Vector<uint64_t> old;
      old.swap(index.slots);
      index.slots.assign(old.size() * 2, 0);
      for (const uint64_t entry : old) {
        if (entry != 0) {
          PlaceSlot(index.slots, static_cast<uint32_t>(entry >> 32), static_cast<std::size_t>(entry & 0xFFFFFFFFu) - 1);
        }
      }
    }
    PlaceSlot(index.slots, hash, number);
  }

  // ---- aliases

  // The node at the end of a recorded path, or null after failing. Open
  // mappings are searched through their frames, never through the value,
  // which would reorder them; a path that ends on a node still being filled
  // is a cycle.
  const Value* Resolve(uint32_t nodeNumber, std::string_view name, const yaml_mark_t& mark) {
    steps_.clear();
    uint32_t n = nodeNumber;
    while (nodes_[n].frame == 0 && nodes_[n].parent != kNoNode) {
      steps_.push_back(n);
      n = nodes_[n].parent;
    }
    Value* current = &result_;
    std::size_t depth = 0;
    bool onSpine = nodes_[n].frame != 0;
    if (onSpine) {
      depth = nodes_[n].frame - 1;
      current = frames_[depth].target;
    }
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      const PathNode& step = nodes_[*it];
      Value* next = nullptr;
      if (step.step == Step::kElement) {
        if (current->IsCollection() && step.element < current->Size()) next = &current->Elements()[step.element];
      } else {
        const std::string_view key(keyPool_.data() + step.keyOffset, step.keyLength);
        if (!onSpine) {
          next = current->MemberIfPresent(key);
        } else if (frames_[depth].kind == FrameKind::kMapping) {
          next = FindMember(frames_[depth], key, binding::Fnv1a(key));
        }
      }
      if (next == nullptr) {
        // A later value under the same key replaced the anchored node's
        // parent with something else: the node is gone.
        Fail(Format(kUndefinedAliasMessage, name, Line(mark), Column(mark)));
        return nullptr;
      }
      if (onSpine) {
        if (depth + 1 < frames_.size() && frames_[depth + 1].target == next) {
          ++depth;
        } else {
          onSpine = false;
        }
      }
      current = next;
    }
    if (onSpine) {
      Fail(Format(kCyclicAliasMessage, name, Line(mark), Column(mark)));
      return nullptr;
    }
    return current;
  }

  // What an alias adds is charged to the text's budget (nodes and text
  // bytes), so aliases of aliases cannot build a tree far larger than the
  // text.
  bool Charge(std::size_t nodes, std::size_t textBytes, std::string_view name, const yaml_mark_t& mark) {
    if (budget_.Charge(nodes, textBytes)) return true;
    Fail(Format(kExpansionMessage, name, Line(mark), Column(mark)));
    return false;
  }

  // Counts the nodes and text bytes a copy of `source` would add and checks
  // how deep it would reach, without recursion and stopping as soon as a
  // bound is passed.
  bool Measure(const Value& source, std::string_view name, const yaml_mark_t& mark) {
    const std::size_t base = OpenContainers();
    const std::size_t nodesLeft = budget_.NodesLeft();
    const std::size_t bytesLeft = budget_.TextBytesLeft();
    std::size_t count = 0;
    std::size_t bytes = 0;
    work_.clear();
    work_.emplace_back(&source, static_cast<uint32_t>(base));
    while (!work_.empty()) {
      const auto [value, level] = work_.back();
      work_.pop_back();
      ++count;
      if (value->IsString()) bytes += value->Size();
      if (count > nodesLeft || bytes > bytesLeft) return Charge(count, bytes, name, mark);
      if (!value->IsCollection() && !value->IsStructure()) continue;
      if (level + 1 > kYamlMaxNesting) {
        Fail(Format(kNestingMessage, static_cast<uint32_t>(kYamlMaxNesting), Line(mark), Column(mark)));
        return false;
      }
      for (const Value& element : value->Elements()) work_.emplace_back(&element, level + 1);
      for (const ValueMember& member : value->Members()) {
        ++count;
        bytes += member.name().size();
        if (count > nodesLeft || bytes > bytesLeft) return Charge(count, bytes, name, mark);
        work_.emplace_back(&member.value(), level + 1);
      }
    }
    return Charge(count, bytes, name, mark);
  }

  // ---- scalars

  bool StoreScalar(Value& v, const yaml_event_t& e) {
    const std::string_view text(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
    const char* tagText = reinterpret_cast<const char*>(e.data.scalar.tag);
    if (tagText == nullptr) {
      if (e.data.scalar.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
          e.data.scalar.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE) {
        v.SetString(text);
      } else {
        ResolvePlain(v, text);
      }
      return true;
    }
    const std::string_view tag(tagText);
    const std::string_view kind = tag.starts_with(kTagPrefix) ? tag.substr(kTagPrefix.size()) : std::string_view();
    if (kind == "str") {
      v.SetString(text);
      return true;
    }
    if (kind == "int") return StoreTaggedInteger(v, text);
    if (kind == "float") return StoreTaggedFloat(v, text);
    if (kind == "bool") {
      const int word = BoolWord(text);
      if (word < 0) {
        Fail(Format(kBadFormatMessage, text, kValueName, "bool"));
        return false;
      }
      v.SetBool(word == 1);
      return true;
    }
    Fail(Format(kUnsupportedTagMessage, tag));
    return false;
  }

  bool StoreTaggedInteger(Value& v, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) ++i;
    const bool isSigned = i < text.size() && text[i] == '-';
    const char* typeName = isSigned ? "int64_t" : "uint64_t";
    int64_t s = 0;
    uint64_t u = 0;
    switch (ParseCInteger(text, isSigned, &s, &u)) {
      case IntRead::kFormat:
        Fail(Format(kBadFormatMessage, text, kValueName, typeName));
        return false;
      case IntRead::kRange:
        Fail(Format(kOutOfRangeMessage, text, kValueName, typeName));
        return false;
      case IntRead::kOk:
        break;
    }
    if (isSigned) {
      v.SetSigned(s);
    } else {
      v.SetUnsigned(u);
    }
    return true;
  }

  bool StoreTaggedFloat(Value& v, std::string_view text) {
    double d = 0.0;
    if (!text.empty() && !ParseCDouble(text, &d)) {
      Fail(Format(kBadFormatMessage, text, kValueName, "double"));
      return false;
    }
    if (std::isinf(d)) {
      Fail(Format(kOutOfRangeMessage, text, kValueName, "double"));
      return false;
    }
    v.SetFloat(d);
    return true;
  }

  std::string_view text_;
  ValueResult& result_;
  bool failed_ = false;
  uint32_t documents_ = 0;

  const std::ptrdiff_t valueOffset_;
  Vector<Frame> frames_;
  Vector<uint32_t> keyHashes_;  // of the members of the open mappings that are not indexed
  Vector<PathNode> nodes_;
  Vector<char> keyPool_;
  // The pending key lies in its own event, held in keyEvent_, or in keyCopy_
  // when an alias gave it; cut at a zero byte, with its hash.
  std::string_view pendingKey_;
  uint32_t pendingHash_ = 0;
  bool hasPendingKey_ = false;
  yaml_event_t keyEvent_{};
  String keyCopy_;
  Vector<Anchor> anchors_;
  Vector<uint64_t> anchorSlots_;
  Vector<char> anchorText_;

  Vector<KeyIndex> indexes_;
  std::size_t indexesUsed_ = 0;
  TreeBudget budget_;

  Vector<uint32_t> steps_;
  Vector<std::pair<const Value*, uint32_t>> work_;
};

}  // namespace

binding::ValueResult ReadYaml(std::string_view text) {
  ValueResult result;
  try {
    YamlBuilder builder(text, result);
    builder.Run();
    result.FinishMembers();
  } catch (const std::bad_alloc&) {
    result.Reset();
    result.Fail(kMemoryMessage);
  }
  return result;
}

bool LooksLikeYaml(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.substr(i).starts_with("---");
}

}  // namespace kiv::codecs
