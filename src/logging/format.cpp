#include "logging/format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace kiv::fmt {

namespace {

// Placeholder texts (without their position) at or beyond this length end the
// output: no message template needs one, so such a text is a broken template.
constexpr std::size_t kPlaceholderLimit = 60;

// Numbers read from a template saturate here; anything this large is either a
// missing argument or a width that the buffer cuts anyway.
constexpr uint32_t kNumberCeiling = 1000000000u;

enum class Length : uint8_t { None, Hh, H, L, Ll, BigL, J, Z, T };

enum Flag : uint8_t { kMinus = 1, kPlus = 2, kSpace = 4, kHash = 8, kZero = 16 };

struct Field {
  enum Kind : uint8_t { None, Digits, Star } kind = None;
  uint32_t value = 0;         // Digits
  uint32_t starPosition = 0;  // Star: 0 takes the next argument in sequence
};

struct Placeholder {
  const char* end = nullptr;  // first character after the placeholder
  uint32_t position = 0;      // 0: next argument in sequence
  bool bare = false;          // the "%1" form: default conversion, nothing else
  bool missingPosition = false;
  uint8_t flags = 0;
  Field width;
  bool hasPrecision = false;
  Field precision;
  Length length = Length::None;
  char conversion = 0;         // 0 when the template ended first
  std::size_t textLength = 0;  // from "%" to the conversion, position excluded
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

uint32_t ReadNumber(const char*& p) {
  uint32_t n = 0;
  while (IsDigit(*p)) {
    if (n < kNumberCeiling) n = n * 10 + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  return std::min(n, kNumberCeiling);
}

// After a "*": an optional "N$" naming the argument that holds the value.
void ReadStar(const char*& p, Field& field) {
  field.kind = Field::Star;
  if (*p >= '1' && *p <= '9') {
    const char* r = p;
    const uint32_t n = ReadNumber(r);
    if (*r == '$') {
      field.starPosition = n;
      p = r + 1;
    }
  }
}

// Parses the placeholder that starts at `percent` (which points at "%"). Reads
// only up to the template's terminator.
Placeholder Parse(const char* percent, std::size_t count) {
  Placeholder ph;
  const char* q = percent + 1;
  std::size_t positionChars = 0;
  if (*q >= '1' && *q <= '9') {
    const char* r = q;
    const uint32_t n = ReadNumber(r);
    if (n <= count) {
      ph.position = n;
      if (*r != '$') {
        ph.bare = true;
        ph.end = r;
        ph.textLength = 1;
        return ph;
      }
      positionChars = static_cast<std::size_t>(r + 1 - q);
      q = r + 1;
    } else if (*r == '$') {
      // "%5$d" with two arguments names an argument that does not exist;
      // reading the 5 as a width would print some other argument instead.
      ph.missingPosition = true;
      ph.position = n;
      positionChars = static_cast<std::size_t>(r + 1 - q);
      q = r + 1;
    }
    // Otherwise the digits are re-read below as a width.
  }
  for (;; ++q) {
    switch (*q) {
      case '-':
        ph.flags |= kMinus;
        continue;
      case '+':
        ph.flags |= kPlus;
        continue;
      case ' ':
        ph.flags |= kSpace;
        continue;
      case '#':
        ph.flags |= kHash;
        continue;
      case '0':
        ph.flags |= kZero;
        continue;
      default:
        break;
    }
    break;
  }
  if (IsDigit(*q)) {
    ph.width.kind = Field::Digits;
    ph.width.value = ReadNumber(q);
  } else if (*q == '*') {
    ++q;
    ReadStar(q, ph.width);
  }
  if (*q == '.') {
    ++q;
    ph.hasPrecision = true;
    if (*q == '*') {
      ++q;
      ReadStar(q, ph.precision);
    } else {
      ph.precision.kind = Field::Digits;
      ph.precision.value = ReadNumber(q);  // "." alone means precision 0
    }
  }
  switch (*q) {
    case 'h':
      ++q;
      if (*q == 'h') {
        ++q;
        ph.length = Length::Hh;
      } else {
        ph.length = Length::H;
      }
      break;
    case 'l':
      ++q;
      if (*q == 'l') {
        ++q;
        ph.length = Length::Ll;
      } else {
        ph.length = Length::L;
      }
      break;
    case 'L':
      ++q;
      ph.length = Length::BigL;
      break;
    case 'j':
      ++q;
      ph.length = Length::J;
      break;
    case 'z':
      ++q;
      ph.length = Length::Z;
      break;
    case 't':
      ++q;
      ph.length = Length::T;
      break;
    default:
      break;
  }
  if (*q != '\0') ph.conversion = *q++;
  ph.end = q;
  ph.textLength = static_cast<std::size_t>(q - percent) - positionChars;
  return ph;
}

const char* AcceptedConversions(ArgType type) {
  switch (type) {
    case ArgType::Text:
      return "s";
    case ArgType::Int32:
      return "dciouxX";
    case ArgType::UInt32:
      return "ucdioxX";
    case ArgType::Char:
      return "cdiouxX";
    case ArgType::Int64:
      return "dciouxX";
    case ArgType::UInt64:
      return "ucdioxX";
    case ArgType::Double:
      return "gaefGAEF";
  }
  return "s";
}

bool UsableAsStar(ArgType type) { return type != ArgType::Text && type != ArgType::Double; }

// The argument's integer value widened to 64 bits (signed types sign-extended).
uint64_t RawBits(const Arg& a) {
  switch (a.type) {
    case ArgType::Int32:
    case ArgType::Char:
      return static_cast<uint64_t>(static_cast<int64_t>(a.i32));
    case ArgType::UInt32:
      return a.u32;
    case ArgType::Int64:
      return static_cast<uint64_t>(a.i64);
    case ArgType::UInt64:
      return a.u64;
    default:
      return 0;
  }
}

int32_t StarValue(const Arg& a) { return static_cast<int32_t>(static_cast<uint32_t>(RawBits(a))); }

// The output window: `capacity` characters plus the terminator.
struct Out {
  char* buffer;
  std::size_t capacity;
  std::size_t pos;

  bool Full() const { return pos >= capacity; }
  std::size_t Left() const { return capacity - pos; }
  void Put(const char* s, std::size_t n) {
    n = std::min(n, Left());
    std::memcpy(buffer + pos, s, n);
    pos += n;
  }
  void Fill(char c, std::size_t n) {
    n = std::min(n, Left());
    std::memset(buffer + pos, c, n);
    pos += n;
  }
};

// A printf conversion text under construction; it never exceeds about 40
// characters because flags are deduplicated and numbers are clamped.
struct PrintfForm {
  char text[48];
  std::size_t n = 0;

  void Add(char c) { text[n++] = c; }
  void Add(const char* s) {
    while (*s) Add(*s++);
  }
  void AddNumber(uint32_t v) {
    auto r = std::to_chars(text + n, text + sizeof(text) - 1, v);
    n = static_cast<std::size_t>(r.ptr - text);
  }
  const char* Finish() {
    text[n] = '\0';
    return text;
  }
};

// Width and precision as resolved for one placeholder.
struct Resolved {
  uint8_t flags;
  bool hasWidth;
  uint32_t width;
  bool hasPrecision;
  uint32_t precision;
};

void AddFlags(PrintfForm& form, uint8_t flags) {
  if (flags & kMinus) form.Add('-');
  if (flags & kPlus) form.Add('+');
  if (flags & kSpace) form.Add(' ');
  if (flags & kHash) form.Add('#');
  if (flags & kZero) form.Add('0');
}

void AddWidthAndPrecision(PrintfForm& form, const Resolved& r) {
  if (r.hasWidth) form.AddNumber(r.width);
  if (r.hasPrecision) {
    form.Add('.');
    form.AddNumber(r.precision);
  }
}

// Copies snprintf's result into the window: the output advances by what was
// printed, or by the space left when it was cut.
template <typename T>
void Print(Out& out, const char* form, T value) {
  const int r = std::snprintf(out.buffer + out.pos, out.Left() + 1, form, value);
  if (r > 0) out.pos += std::min(static_cast<std::size_t>(r), out.Left());
}

void WriteText(Out& out, const Arg& a, const Resolved& r) {
  const char* text = a.text;
  std::size_t length = a.length;
  if (text == nullptr) {
    text = "(null)";
    length = 6;
  }
  if (r.hasPrecision) length = std::min<std::size_t>(length, r.precision);
  const std::size_t pad = r.hasWidth && r.width > length ? r.width - length : 0;
  if (r.flags & kMinus) {
    out.Put(text, length);
    out.Fill(' ', pad);
  } else {
    out.Fill(' ', pad);
    out.Put(text, length);
  }
}

void WriteDouble(Out& out, const Arg& a, Resolved r, char conversion) {
  PrintfForm form;
  form.Add('%');
  AddFlags(form, r.flags);
  AddWidthAndPrecision(form, r);
  form.Add(conversion);  // a length would ask for long double or be undefined
  Print(out, form.Finish(), a.f64);
}

void WriteInteger(Out& out, const Arg& a, Resolved r, char conversion, Length length) {
  const uint64_t raw = RawBits(a);
  const bool wide = a.type == ArgType::Int64 || a.type == ArgType::UInt64;
  PrintfForm form;
  form.Add('%');
  if (conversion == 'c') {
    // Only "-" and the width mean something for a character.
    r.flags &= kMinus;
    r.hasPrecision = false;
    AddFlags(form, r.flags);
    AddWidthAndPrecision(form, r);
    form.Add('c');
    Print(out, form.Finish(), static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(raw))));
    return;
  }
  const bool isSigned = conversion == 'd' || conversion == 'i';
  r.flags &= isSigned ? static_cast<uint8_t>(~kHash) : static_cast<uint8_t>(~(kPlus | kSpace));
  AddFlags(form, r.flags);
  AddWidthAndPrecision(form, r);
  // "hh" and "h" narrow on purpose and are kept. Any other length is replaced
  // by the argument's own size, so a 64-bit value is always printed whole and
  // the value handed to snprintf always matches what the conversion text reads.
  const bool narrow = length == Length::Hh || length == Length::H;
  if (narrow) {
    form.Add(length == Length::Hh ? "hh" : "h");
  } else if (wide) {
    form.Add("ll");
  }
  form.Add(conversion);
  const char* s = form.Finish();
  if (wide && !narrow) {
    if (isSigned) {
      Print(out, s, static_cast<long long>(static_cast<int64_t>(raw)));
    } else {
      Print(out, s, static_cast<unsigned long long>(raw));
    }
  } else if (isSigned) {
    Print(out, s, static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(raw))));
  } else {
    Print(out, s, static_cast<unsigned>(static_cast<uint32_t>(raw)));
  }
}

// Takes the argument a "*" names (or the next in sequence); false when it does
// not exist or cannot serve as a number.
bool TakeStar(const Field& field, const Arg* args, std::size_t count, std::size_t& sequence, int32_t& value) {
  const std::size_t index = field.starPosition != 0 ? field.starPosition : sequence++;
  if (index == 0 || index > count || !UsableAsStar(args[index - 1].type)) return false;
  value = StarValue(args[index - 1]);
  return true;
}

// Prints one placeholder; false ends the output.
bool FormatOne(Out& out, const Placeholder& ph, const Arg* args, std::size_t count, std::size_t& sequence,
               uint32_t fieldLimit) {
  if (ph.textLength >= kPlaceholderLimit || ph.missingPosition) return false;
  Resolved r{ph.flags, false, 0, false, 0};
  if (ph.width.kind == Field::Digits) {
    r.hasWidth = true;
    r.width = ph.width.value;
  } else if (ph.width.kind == Field::Star) {
    int32_t w = 0;
    if (!TakeStar(ph.width, args, count, sequence, w)) return false;
    r.hasWidth = true;
    if (w < 0) r.flags |= kMinus;
    r.width = w < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(w)) : static_cast<uint32_t>(w);
  }
  if (ph.hasPrecision) {
    if (ph.precision.kind == Field::Star) {
      int32_t p = 0;
      if (!TakeStar(ph.precision, args, count, sequence, p)) return false;
      // A negative precision counts as none, as in printf.
      r.hasPrecision = p >= 0;
      r.precision = p >= 0 ? static_cast<uint32_t>(p) : 0;
    } else {
      r.hasPrecision = true;
      r.precision = ph.precision.value;
    }
  }
  // Fields wider than the buffer are cut anyway; clamping keeps snprintf from
  // producing (and counting) millions of padding characters.
  r.width = std::min(r.width, fieldLimit);
  r.precision = std::min(r.precision, fieldLimit);

  const std::size_t index = ph.position != 0 ? ph.position : sequence++;
  if (index > count) return false;
  const Arg& a = args[index - 1];

  const char* accepted = AcceptedConversions(a.type);
  const bool own = ph.conversion != '\0' && std::strchr(accepted, ph.conversion) != nullptr;
  const char conversion = own ? ph.conversion : accepted[0];
  switch (a.type) {
    case ArgType::Text:
      WriteText(out, a, r);
      break;
    case ArgType::Double:
      WriteDouble(out, a, r, conversion);
      break;
    default:
      WriteInteger(out, a, r, conversion, ph.length);
      break;
  }
  return true;
}

}  // namespace

std::size_t FormatInto(char* buffer, std::size_t size, const char* templ, const Arg* args, std::size_t count) {
  if (buffer == nullptr || size == 0) return 0;
  if (args == nullptr) count = 0;
  Out out{buffer, size - 1, 0};
  // Enough for any double printed exactly, and never less than the buffer.
  const uint32_t fieldLimit = static_cast<uint32_t>(std::clamp<std::size_t>(size, 1100, 1u << 24));
  std::size_t sequence = 1;
  const char* p = templ != nullptr ? templ : "";
  while (*p != '\0' && !out.Full()) {
    if (*p != '%') {
      const char* run = p;
      while (*p != '\0' && *p != '%') ++p;
      out.Put(run, static_cast<std::size_t>(p - run));
      continue;
    }
    if (p[1] == '%') {
      out.Put("%", 1);
      p += 2;
      continue;
    }
    const Placeholder ph = Parse(p, count);
    if (!FormatOne(out, ph, args, count, sequence, fieldLimit)) break;
    p = ph.end;
  }
  buffer[out.pos] = '\0';
  return out.pos;
}

String FormatArgs(const char* templ, const Arg* args, std::size_t count) {
  char buffer[kFormatBufferSize];
  const std::size_t n = FormatInto(buffer, sizeof(buffer), templ, args, count);
  return String(buffer, n);
}

NamedArg NamedArg::Bool(bool v) {
  NamedArg a;
  a.kind = 1;
  a.payload.b = v;
  return a;
}

NamedArg NamedArg::Signed(int64_t v) {
  NamedArg a;
  a.kind = 2;
  a.payload.i64 = v;
  return a;
}

NamedArg NamedArg::Unsigned(uint64_t v) {
  NamedArg a;
  a.kind = 3;
  a.payload.u64 = v;
  return a;
}

NamedArg NamedArg::Double(double v) {
  NamedArg a;
  a.kind = 4;
  a.payload.f64 = v;
  return a;
}

NamedArg NamedArg::Text(std::string_view v) {
  NamedArg a;
  a.kind = 5;
  a.text.assign(v.data(), v.size());
  return a;
}

namespace {

constexpr std::string_view kTypedSuffixes[] = {"_bool", "_int", "_long", "_float", "_str", "_time", "_ip"};

bool IsEmptyValue(const NamedArg& a) {
  switch (a.kind) {
    case 0:
      return true;  // no value at all
    case 1:
      return !a.payload.b;
    case 2:
      return a.payload.i64 == 0;
    case 3:
      return a.payload.u64 == 0;
    case 4:
      return a.payload.f64 == 0.0;  // both zeros; a NaN is a value
    case 5:
      return a.text.empty();
    default:
      return false;
  }
}

std::string_view KindSuffix(uint32_t kind) {
  switch (kind) {
    case 1:
      return "_bool";
    case 2:
    case 3:
      return "_int";
    case 4:
      return "_float";
    case 5:
      return "_str";
    default:
      return {};
  }
}

void ApplyTypedName(String& name, uint32_t kind) {
  const std::size_t underscore = name.rfind('_');
  if (underscore != String::npos) {
    const std::string_view last(name.data() + underscore, name.size() - underscore);
    for (std::string_view suffix : kTypedSuffixes) {
      if (last == suffix) return;
    }
  }
  const std::string_view suffix = KindSuffix(kind);
  name.append(suffix.data(), suffix.size());
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

class Expander {
 public:
  Expander(const NamedArg* args, std::size_t count, FieldTable* fields) : args_(args), count_(count), fields_(fields) {}

  void Run(const char* p) {
    while (*p != '\0') {
      if (inField_) {
        if (!FieldChar(p)) return;
        continue;
      }
      switch (*p) {
        case '{':
          if (p[1] == '{') {
            Append("{");
            p += 2;
          } else {
            OpenField();
            ++p;
            if (*p == '#') {
              typed_ = true;
              ++p;
            }
          }
          break;
        case '}':
          Append("}");
          p += p[1] == '}' ? 2 : 1;
          break;
        case '%':
          if (p[1] == '%') {
            Append("%%");
            p += 2;
          } else {
            p = PassPlaceholder(p);
          }
          break;
        default: {
          const char* run = p;
          while (*p != '\0' && *p != '{' && *p != '}' && *p != '%') ++p;
          Append(std::string_view(run, static_cast<std::size_t>(p - run)));
          break;
        }
      }
    }
    // An unclosed field is dropped.
  }

  String& Result() { return out_; }

 private:
  // One character inside a field; false ends the whole expansion.
  bool FieldChar(const char*& p) {
    const char c = *p++;
    switch (c) {
      case '\\':
        if (*p == '\0') return false;
        Part().push_back(*p++);
        return true;
      case '!':
        hidden_ = true;
        return true;
      case '?':
        hasAlternative_ = true;
        return true;
      case ':':
        hasSpec_ = true;
        return true;
      case '{':
        return true;
      case '}':
        CloseField();
        return true;
      default:
        Part().push_back(c);
        return true;
    }
  }

  String& Part() { return hasSpec_ ? spec_ : hasAlternative_ ? alternative_ : name_; }

  void OpenField() {
    inField_ = true;
    typed_ = hidden_ = hasAlternative_ = hasSpec_ = false;
    name_.clear();
    alternative_.clear();
    spec_.clear();
  }

  void CloseField() {
    inField_ = false;
    if (running_ <= count_) EmitField(args_[running_ - 1], running_);
    ++running_;
  }

  void EmitField(const NamedArg& a, std::size_t number) {
    if (typed_) ApplyTypedName(name_, a.kind);
    if (hasAlternative_ && IsEmptyValue(a)) {
      Append(alternative_);
      return;
    }
    if (!name_.empty() && fields_ != nullptr) fields_->insert_or_assign(name_, a);
    if (hidden_) {
      while (!out_.empty() && IsSpace(out_.back())) out_.pop_back();
      return;
    }
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof(digits), static_cast<uint64_t>(number));
    out_.push_back('%');
    out_.append(digits, r.ptr);
    if (!spec_.empty()) {
      out_.push_back('$');
      out_.append(spec_);
    } else {
      bareEnd_ = out_.size();
    }
  }

  // A positional placeholder written in the named template: kept as written,
  // and it uses up an argument number.
  const char* PassPlaceholder(const char* p) {
    const Placeholder ph = Parse(p, count_);
    const std::size_t number = ph.position != 0 ? ph.position : running_;
    Append(std::string_view(p, static_cast<std::size_t>(ph.end - p)));
    running_ = number + 1;
    return ph.end;
  }

  void Append(std::string_view s) {
    // "%1" directly followed by a digit or "$" would be read back as another
    // argument number or as a position; the explicit "%1$s" form reads the
    // same argument with its type's default conversion.
    if (!s.empty() && bareEnd_ == out_.size() && (IsDigit(s.front()) || s.front() == '$')) out_.append("$s");
    out_.append(s.data(), s.size());
  }

  const NamedArg* args_;
  std::size_t count_;
  FieldTable* fields_;
  String out_;
  std::size_t running_ = 1;
  std::size_t bareEnd_ = String::npos;
  bool inField_ = false;
  bool typed_ = false;
  bool hidden_ = false;
  bool hasAlternative_ = false;
  bool hasSpec_ = false;
  String name_;
  String alternative_;
  String spec_;
};

}  // namespace

void ExpandNamed(const char* templ, const NamedArg* args, std::size_t count, String* positional, FieldTable* fields) {
  if (args == nullptr) count = 0;
  Expander expander(args, count, fields);
  if (templ != nullptr) expander.Run(templ);
  if (positional != nullptr) *positional = std::move(expander.Result());
}

}  // namespace kiv::fmt
