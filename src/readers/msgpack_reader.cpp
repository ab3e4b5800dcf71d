#include "readers/msgpack_reader.h"

#include <cstring>
#include <new>

#include "readers/tree_builder.h"
#include "logging/format.h"

namespace kiv::codecs {

using binding::Value;
using binding::ValueResult;

namespace {

// The most places reserved at once for one container.
constexpr uint64_t kReserveLimit = 1u << 16;

using Frame = TreeBuilder::Frame;

class Decoder {
 public:
  Decoder(const uint8_t* data, std::size_t size) : data_(data), size_(size), tree_(size), reserveBudget_(size) {}

  ValueResult Run();
  std::size_t Position() const { return pos_; }

 private:
  std::size_t Left() const { return size_ - pos_; }

  template <typename... A>
  void Fail(const char* templ, const A&... args) {
    error_ = Format(templ, args...);
    failed_ = true;
  }

  // Big-endian reads; each checks what is left first.
  bool Read8(uint8_t* out) {
    if (Left() < 1) {
      *out = 0;
      return TruncatedInteger(8);
    }
    *out = data_[pos_++];
    return true;
  }
  bool Read16(uint16_t* out) {
    if (Left() < 2) {
      *out = 0;
      return TruncatedInteger(16);
    }
    *out = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return true;
  }
  bool Read32(uint32_t* out) {
    if (Left() < 4) {
      *out = 0;
      return TruncatedInteger(32);
    }
    *out = Load32(data_ + pos_);
    pos_ += 4;
    return true;
  }
  bool Read64(uint64_t* out) {
    if (Left() < 8) {
      *out = 0;
      return TruncatedInteger(64);
    }
    *out = (static_cast<uint64_t>(Load32(data_ + pos_)) << 32) | Load32(data_ + pos_ + 4);
    pos_ += 8;
    return true;
  }
  // Failures, kept out of the paths that succeed; each returns false.
  [[gnu::noinline]] bool TruncatedInteger(int bits) {
    Fail("Invalid MessagePack data. %1-bit integer value at position %2 is truncated.", bits, Pos());
    return false;
  }
  [[gnu::noinline]] bool TruncatedBytes(uint32_t length, bool text) {
    if (text) {
      Fail("Invalid MessagePack data. String of size %1 at position %2 is truncated.", length, Pos());
    } else {
      Fail("Invalid MessagePack data. Raw bytes of size %1 at position %2 are truncated.", length, Pos());
    }
    return false;
  }
  static uint32_t Load32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
  }
  unsigned long long Pos() const { return pos_; }

  // The length of a str or bin after its type byte; false on failure.
  bool ReadLength(uint8_t type, uint32_t* length);
  // Text or bytes of `length` at the position, checked against what is left.
  bool TakeBytes(uint32_t length, bool text, const uint8_t** bytes) {
    if (length > Left()) {
      *bytes = nullptr;
      return TruncatedBytes(length, text);
    }
    *bytes = data_ + pos_;
    pos_ += length;
    return true;
  }

  bool ReadKey(Frame& frame, Value** target);
  bool OpenContainer(Value* target, uint32_t count, bool isMap);
  // Finds the place the next value goes to. False when the top-level value
  // is complete or decoding failed.
  bool NextTarget(Value** target);
  void TruncatedContainer();

  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool failed_ = false;
  String error_;
  TreeBuilder tree_;
  // Places that containers may still reserve, counted in input bytes. Every
  // element needs a byte of its own and every member two, so the true counts
  // of a whole document add up to less than its size: a document that
  // succeeds always gets its reservations, and headers that claim more than
  // the input holds can never reserve more than its size in all.
  uint64_t reserveBudget_;
};

bool Decoder::ReadLength(uint8_t type, uint32_t* length) {
  switch (type) {
    case 0xc4:
    case 0xd9: {
      uint8_t n;
      if (!Read8(&n)) return false;
      *length = n;
      return true;
    }
    case 0xc5:
    case 0xda: {
      uint16_t n;
      if (!Read16(&n)) return false;
      *length = n;
      return true;
    }
    default: {
      return Read32(length);
    }
  }
}

bool Decoder::ReadKey(Frame& frame, Value** target) {
  const uint8_t type = data_[pos_++];
  uint32_t length;
  if (type >= 0xa0 && type <= 0xbf) {
    length = type & 0x1fu;
  } else if (type >= 0xd9 && type <= 0xdb) {
    if (!ReadLength(type, &length)) return false;
  } else {
    Fail("Invalid MessagePack data at position %1. Map keys must be strings.", Pos());
    return false;
  }
  const uint8_t* bytes;
  if (!TakeBytes(length, true, &bytes)) return false;
  (void)frame;
  *target = &tree_.Member(std::string_view(reinterpret_cast<const char*>(bytes), length));
  return true;
}

void Decoder::TruncatedContainer() {
  const Frame& frame = tree_.Top();
  if (frame.isObject) {
    Fail("Invalid MessagePack data. Map of size %1 at position %2 is truncated.",
         static_cast<unsigned long long>(frame.declared), static_cast<unsigned long long>(frame.start));
  } else {
    Fail("Invalid MessagePack data. Array of size %1 at position %2 is truncated.",
         static_cast<unsigned long long>(frame.declared), static_cast<unsigned long long>(frame.start));
  }
}

bool Decoder::OpenContainer(Value* target, uint32_t count, bool isMap) {
  // A repeated map key finds its earlier value here: a container of the same
  // shape keeps its entries and receives the new ones after them.
  const bool reopened = isMap ? target->IsStructure() : target->IsCollection();
  const bool opened = isMap ? tree_.OpenObject(*target, count, pos_) : tree_.OpenArray(*target, count, pos_);
  if (!opened) {
    if (tree_.Stopped() == TreeBuilder::Stop::kTooDeep) {
      Fail("Invalid MessagePack data at position %1. Arrays and maps are nested deeper than %2 levels.", Pos(),
           static_cast<uint32_t>(kMessagePackMaxDepth));
    } else {
      Fail("Invalid MessagePack data at position %1. Repeated map keys build more than the data's size allows.", Pos());
    }
    return false;
  }
  if (count == 0) {
    tree_.Close();
    return true;
  }
  if (!reopened) {
    const uint64_t unit = isMap ? 2 : 1;
    uint64_t reserve = reserveBudget_ / unit;
    if (count < reserve) reserve = count;
    if (reserve > kReserveLimit) reserve = kReserveLimit;  // beyond this, growth is cheap enough
    if (reserve != 0) {
      if (isMap) {
        target->ReserveMembers(static_cast<std::size_t>(reserve));
      } else {
        target->Reserve(static_cast<std::size_t>(reserve));
      }
      reserveBudget_ -= reserve * unit;
    }
  }
  return true;
}

bool Decoder::NextTarget(Value** target) {
  while (tree_.Open()) {
    Frame& frame = tree_.Top();
    if (frame.remaining == 0) {
      tree_.Close();
      continue;
    }
    if (pos_ >= size_) {
      TruncatedContainer();
      return false;
    }
    --frame.remaining;
    if (!frame.isObject) {
      *target = &tree_.Element();
      return true;
    }
    if (!ReadKey(frame, target)) return false;
    if (pos_ >= size_) {
      TruncatedContainer();
      return false;
    }
    return true;
  }
  return false;
}

ValueResult Decoder::Run() {
  ValueResult result;
  Value* target = &tree_.Root();
  bool more = size_ != 0;
  while (more) {
    const uint8_t type = data_[pos_++];
    if (type <= 0x7f) {
      target->SetSigned(type);
    } else if (type >= 0xe0) {
      target->SetSigned(static_cast<int8_t>(type));
    } else if (type <= 0x8f) {
      if (!OpenContainer(target, type & 0x0fu, true)) break;
    } else if (type <= 0x9f) {
      if (!OpenContainer(target, type & 0x0fu, false)) break;
    } else if (type <= 0xbf) {
      const uint32_t length = type & 0x1fu;
      const uint8_t* bytes;
      if (!TakeBytes(length, true, &bytes)) break;
      target->SetString(std::string_view(reinterpret_cast<const char*>(bytes), length));
    } else {
      switch (type) {
        case 0xc0:  // nil: the place keeps what it holds (Empty when new)
          break;
        case 0xc2:
          target->SetBool(false);
          break;
        case 0xc3:
          target->SetBool(true);
          break;
        case 0xc4:
        case 0xc5:
        case 0xc6:
        case 0xd9:
        case 0xda:
        case 0xdb: {
          uint32_t length;
          const uint8_t* bytes;
          const bool text = type >= 0xd9;
          if (!ReadLength(type, &length) || !TakeBytes(length, text, &bytes)) break;
          if (text) {
            target->SetString(std::string_view(reinterpret_cast<const char*>(bytes), length));
          } else {
            target->SetBlob(bytes, length);
          }
          break;
        }
        case 0xca: {
          uint32_t bits;
          if (!Read32(&bits)) break;
          float f;
          std::memcpy(&f, &bits, sizeof f);
          target->SetFloat(f);
          break;
        }
        case 0xcb: {
          uint64_t bits;
          if (!Read64(&bits)) break;
          double d;
          std::memcpy(&d, &bits, sizeof d);
          target->SetFloat(d);
          break;
        }
        case 0xcc: {
          uint8_t v;
          if (Read8(&v)) target->SetUnsigned(v);
          break;
        }
        case 0xcd: {
          uint16_t v;
          if (Read16(&v)) target->SetUnsigned(v);
          break;
        }
        case 0xce: {
          uint32_t v;
          if (Read32(&v)) target->SetUnsigned(v);
          break;
        }
        case 0xcf: {
          uint64_t v;
          if (Read64(&v)) target->SetUnsigned(v);
          break;
        }
        case 0xd0: {
          uint8_t v;
          if (Read8(&v)) target->SetSigned(static_cast<int8_t>(v));
          break;
        }
        case 0xd1: {
          uint16_t v;
          if (Read16(&v)) target->SetSigned(static_cast<int16_t>(v));
          break;
        }
        case 0xd2: {
          uint32_t v;
          if (Read32(&v)) target->SetSigned(static_cast<int32_t>(v));
          break;
        }
        case 0xd3: {
          uint64_t v;
          if (Read64(&v)) target->SetSigned(static_cast<int64_t>(v));
          break;
        }
        case 0xdc:
        case 0xde: {
          uint16_t count;
          if (Read16(&count)) OpenContainer(target, count, type == 0xde);
          break;
        }
        case 0xdd:
        case 0xdf: {
          uint32_t count;
          if (Read32(&count)) OpenContainer(target, count, type == 0xdf);
          break;
        }
        default:  // 0xc1 and the extension types
          Fail("Invalid MessagePack data at position %1.", Pos());
          break;
      }
      if (failed_) break;
    }
    more = NextTarget(&target);
  }
  if (failed_) {
    result.Fail(error_);
  } else {
    result = tree_.Take();
  }
  return result;
}

}  // namespace

ValueResult ReadMessagePack(std::span<const uint8_t> bytes, std::size_t* consumed) {
  ValueResult result;
  std::size_t position = 0;
  try {
    // Setting up the decoder takes memory too.
    Decoder decoder(bytes.data(), bytes.size());
    result = decoder.Run();
    position = decoder.Position();
  } catch (const std::bad_alloc&) {
    result.Fail("Not enough memory to decode the MessagePack data.");
  }
  if (consumed != nullptr) *consumed = position;
  return result;
}

ValueResult ReadMessagePack(std::string_view bytes, std::size_t* consumed) {
  return ReadMessagePack(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                         consumed);
}

bool LooksLikeMessagePack(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return false;
  const uint8_t first = bytes[0];
  return (first >= 0x80 && first <= 0x9f) || (first >= 0xdc && first <= 0xdf);
}

bool LooksLikeMessagePack(std::string_view bytes) {
  return LooksLikeMessagePack(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace kiv::codecs
