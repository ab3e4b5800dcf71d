// The MessagePack reader on arbitrary bytes. Whatever it accepts is written
// out again and must read back to the same value; the bytes after the value
// it consumed must not change the result; failures name a position.
//
// Differential check against msgpack-cxx: where it decodes a value, the
// reader must give the model of that value built under the reader's rules
// (and consume as many bytes), unless the value holds what the reader refuses
// (an extension type, a map key that is not a string), nests deeper than its
// bound, or reopens maps beyond its size budget; where msgpack-cxx refuses
// the bytes (truncated, the unused type byte, counts no input of this size
// can hold), the reader must refuse them too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <msgpack.hpp>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "value/value.h"
#include "readers/msgpack_reader.h"
#include "tree_model.h"

namespace {

using kiv::binding::Value;
using kiv::binding::ValueKind;

void Check(bool condition) {
  if (!condition) std::abort();
}

void Put(std::vector<uint8_t>& out, uint8_t type, uint64_t value, int bytes) {
  out.push_back(type);
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Writes every kind in its widest form, so the reader's wide paths are
// exercised by whatever the fuzzer finds. Depth is bounded by the reader.
void Encode(const Value& v, std::vector<uint8_t>& out) {
  switch (v.Kind()) {
    case ValueKind::Empty:
      out.push_back(0xc0);
      break;
    case ValueKind::Bool:
      out.push_back(v.AsBool() ? 0xc3 : 0xc2);
      break;
    case ValueKind::Signed:
      Put(out, 0xd3, static_cast<uint64_t>(v.AsSigned()), 8);
      break;
    case ValueKind::Unsigned:
      Put(out, 0xcf, v.AsUnsigned(), 8);
      break;
    case ValueKind::Float: {
      const double d = v.AsFloat();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      Put(out, 0xcb, bits, 8);
      break;
    }
    case ValueKind::String: {
      const std::string_view s = v.AsText();
      Put(out, 0xdb, s.size(), 4);
      out.insert(out.end(), s.begin(), s.end());
      break;
    }
    case ValueKind::Blob: {
      const auto b = v.AsBlob();
      Put(out, 0xc6, b.size(), 4);
      out.insert(out.end(), b.begin(), b.end());
      break;
    }
    case ValueKind::Collection:
      Put(out, 0xdd, v.Size(), 4);
      for (const Value& e : v.Elements()) Encode(e, out);
      break;
    case ValueKind::Structure:
      Put(out, 0xdf, v.Size(), 4);
      for (const auto& m : v.Members()) {
        Put(out, 0xdb, m.name().size(), 4);
        out.insert(out.end(), m.name().begin(), m.name().end());
        Encode(m.value(), out);
      }
      break;
    default:
      std::abort();  // the reader makes no enums
  }
}

// Equality with floats compared bit for bit, so that NaN equals itself.
bool Same(const Value& a, const Value& b) {
  if (a.Kind() != b.Kind()) return false;
  switch (a.Kind()) {
    case ValueKind::Float: {
      const double x = a.AsFloat(), y = b.AsFloat();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case ValueKind::Collection: {
      if (a.Size() != b.Size()) return false;
      for (std::size_t i = 0; i < a.Size(); ++i) {
        if (!Same(a.At(i), b.At(i))) return false;
      }
      return true;
    }
    case ValueKind::Structure: {
      const auto x = a.Members(), y = b.Members();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].name() != y[i].name() || !Same(x[i].value(), y[i].value())) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

// Walks msgpack-cxx's object in document order while stepping over the bytes
// it came from: the object does not tell how an integer was encoded, and the
// reader's kind depends on it (uint 8-64 Unsigned, every other integer
// Signed).
class PeerWalk {
 public:
  PeerWalk(std::span<const uint8_t> bytes, fuzz_model::Builder& model) : bytes_(bytes), model_(model) {}
  std::size_t Position() const { return pos_; }

  // False when the value holds something the reader refuses.
  bool Visit(const msgpack::object& o) {
    const uint8_t type = Type();
    switch (o.type) {
      case msgpack::type::NIL:
        Check(type == 0xc0);
        pos_ += 1;
        model_.Null();
        return true;
      case msgpack::type::BOOLEAN:
        Check(type == 0xc2 || type == 0xc3);
        pos_ += 1;
        model_.Bool(o.via.boolean);
        return true;
      case msgpack::type::POSITIVE_INTEGER:
        pos_ += IntegerSize(type);
        if (type >= 0xcc && type <= 0xcf) {
          model_.Unsigned(o.via.u64);
        } else {
          model_.Signed(static_cast<int64_t>(o.via.u64));
        }
        return true;
      case msgpack::type::NEGATIVE_INTEGER:
        Check(type >= 0xd0);
        pos_ += IntegerSize(type);
        model_.Signed(o.via.i64);
        return true;
      case msgpack::type::FLOAT32:
      case msgpack::type::FLOAT64:
        Check(type == 0xca || type == 0xcb);
        pos_ += type == 0xca ? 5 : 9;
        model_.Float(o.via.f64);
        return true;
      case msgpack::type::STR:
        pos_ += TextHeader(type) + o.via.str.size;
        model_.Text(std::string_view(o.via.str.ptr, o.via.str.size));
        return true;
      case msgpack::type::BIN:
        Check(type >= 0xc4 && type <= 0xc6);
        pos_ += (type == 0xc4 ? 2 : type == 0xc5 ? 3 : 5) + o.via.bin.size;
        model_.Blob(std::string_view(o.via.bin.ptr, o.via.bin.size));
        return true;
      case msgpack::type::ARRAY:
        Check((type >= 0x90 && type <= 0x9f) || type == 0xdc || type == 0xdd);
        pos_ += type <= 0x9f ? 1 : type == 0xdc ? 3 : 5;
        model_.OpenArray();
        for (uint32_t i = 0; i < o.via.array.size; ++i) {
          if (!Visit(o.via.array.ptr[i])) return false;
        }
        model_.Close();
        return true;
      case msgpack::type::MAP:
        Check((type >= 0x80 && type <= 0x8f) || type == 0xde || type == 0xdf);
        pos_ += type <= 0x8f ? 1 : type == 0xde ? 3 : 5;
        model_.OpenObject();
        for (uint32_t i = 0; i < o.via.map.size; ++i) {
          const msgpack::object& key = o.via.map.ptr[i].key;
          if (key.type != msgpack::type::STR) return false;
          pos_ += TextHeader(Type()) + key.via.str.size;
          model_.Name(std::string_view(key.via.str.ptr, key.via.str.size));
          if (!Visit(o.via.map.ptr[i].val)) return false;
        }
        model_.Close();
        return true;
      default:  // extension types
        return false;
    }
  }

 private:
  uint8_t Type() const {
    Check(pos_ < bytes_.size());  // the walk keeps in step with the peer
    return bytes_[pos_];
  }
  static std::size_t IntegerSize(uint8_t type) {
    if (type <= 0x7f || type >= 0xe0) return 1;
    Check((type >= 0xcc && type <= 0xcf) || (type >= 0xd0 && type <= 0xd3));
    return std::size_t{1} + (std::size_t{1} << (type & 3));
  }
  static std::size_t TextHeader(uint8_t type) {
    if (type >= 0xa0 && type <= 0xbf) return 1;
    Check(type >= 0xd9 && type <= 0xdb);
    return type == 0xd9 ? 2 : type == 0xda ? 3 : 5;
  }

  std::span<const uint8_t> bytes_;
  fuzz_model::Builder& model_;
  std::size_t pos_ = 0;
};

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

void CompareWithPeer(std::span<const uint8_t> bytes, const kiv::binding::ValueResult& ours, std::size_t consumed) {
  if (bytes.empty()) return;  // the peer wants a value; the reader makes Empty of nothing
  // Counts and lengths beyond the input's size only occur in truncated input;
  // the peer refuses them before it reserves room for them. The depth limit
  // (containers with entries; the reader counts empty ones too) lies well
  // past the reader's and keeps the walk's recursion small.
  const std::size_t n = bytes.size();
  const msgpack::unpack_limit limit(n, n, n, n, n, 2 * kiv::codecs::kMessagePackMaxDepth);
  std::size_t offset = 0;
  msgpack::object_handle handle;
  try {
    handle = msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), n, offset, nullptr, nullptr, limit);
  } catch (const std::bad_alloc&) {
    return;
  } catch (const std::exception&) {
    Check(!ours.Succeeded());
    return;
  }
  fuzz_model::Builder model;
  PeerWalk walk(bytes, model);
  if (!walk.Visit(handle.get())) {
    Check(!ours.Succeeded());
    return;
  }
  Check(walk.Position() == offset);
  const std::string_view message = ours.Succeeded() ? std::string_view() : ours.ErrorMessage();
  const bool deep = model.Deepest() > kiv::codecs::kMessagePackMaxDepth;
  if (deep || !ours.Succeeded()) {
    Check(!ours.Succeeded());
    Check((deep && Contains(message, "nested deeper")) || (model.Reopened() && Contains(message, "build more than")));
    return;
  }
  Check(consumed == offset);
  Check(fuzz_model::Matches(model.Root(), ours));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  std::size_t consumed = 0;
  const kiv::binding::ValueResult result = kiv::codecs::ReadMessagePack(bytes, &consumed);
  Check(consumed <= size);
  (void)kiv::codecs::LooksLikeMessagePack(bytes);
  CompareWithPeer(bytes, result, consumed);
  if (!result.Succeeded()) {
    const std::string_view message = result.ErrorMessage();
    if (message == "Not enough memory to decode the MessagePack data.") return 0;
    Check(message.substr(0, 24) == "Invalid MessagePack data");
    const std::size_t at = message.find("position ");
    Check(at != std::string_view::npos);
    Check(std::strtoull(message.data() + at + 9, nullptr, 10) <= size);
    return 0;
  }
  Check(size == 0 || consumed != 0);

  // Only the consumed bytes count.
  std::size_t again = 0;
  const kiv::binding::ValueResult prefix = kiv::codecs::ReadMessagePack(bytes.first(consumed), &again);
  Check(prefix.Succeeded() && again == consumed && Same(prefix, result));

  // What was read can be written and read back unchanged.
  std::vector<uint8_t> encoded;
  Encode(result, encoded);
  const kiv::binding::ValueResult back = kiv::codecs::ReadMessagePack(encoded, &again);
  Check(back.Succeeded());
  Check(again == encoded.size());
  Check(Same(back, result));
  return 0;
}
