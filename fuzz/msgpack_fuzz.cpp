// The MessagePack reader on arbitrary bytes. Whatever it accepts is written
// out again and must read back to the same value; the bytes after the value
// it consumed must not change the result; failures name a position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "binding/value.h"
#include "codecs/msgpack_reader.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  std::size_t consumed = 0;
  const kiv::binding::ValueResult result = kiv::codecs::ReadMessagePack(bytes, &consumed);
  Check(consumed <= size);
  (void)kiv::codecs::LooksLikeMessagePack(bytes);
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
