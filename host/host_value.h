// HostValue helpers of the reference host: building, reading, copying and
// releasing value records, and their conversion to and from JSON.
//
// Values the host builds are owned by the host: texts, blobs and arrays are
// allocated with malloc and freed by ReleaseHostValue. Values a plugin built
// are only ever read here; the plugin frees them through its own release.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "kiv_plugin.h"

namespace kivhost {

using json = nlohmann::json;

// Limits that keep a malformed value from a plugin from exhausting the host.
// The depth counts every value, the root being level 1; it is the plugin's
// own bound, so whatever a plugin may send or accept passes here too.
inline constexpr uint32_t kMaxValueDepth = 512;
inline constexpr uint32_t kMaxValueItems = 1u << 24;

// A read that failed tells why; it never throws.
struct ReadResult {
  bool ok = true;
  std::string error;
};

// Reads any HostValue (host- or plugin-built) into JSON. Blobs become JSON
// binary values. Fails on unknown kinds, null arrays or texts with a non-zero
// count, null keys, nesting deeper than kMaxValueDepth and counts above
// kMaxValueItems.
ReadResult HostValueToJson(const HostValue& value, json* out);

// About the bytes a JSON value holds: 16 per node and per member, plus its
// texts and bytes. What the peers count against their limits.
size_t JsonFootprint(const json& value);

// Builds a host-owned HostValue from JSON: null 0, bool 1, signed integers 2,
// unsigned integers 3 (JSON text reads every non-negative integer as unsigned), floats 4, strings 6 (zero-terminated
// copy), binary 8, arrays 9, objects 10 (members in byte order of their keys, keys owned). The receiver is overwritten,
// not released.
void JsonToHostValue(const json& value, HostValue* out);

// Frees what a host-built value owns and zeroes the record.
void ReleaseHostValue(HostValue* value);

// Short texts for messages and transcripts.
const char* HostValueKindName(uint32_t kind);

// A host-owned value that frees itself.
class OwnedHostValue {
 public:
  OwnedHostValue() : value_{} {}
  explicit OwnedHostValue(const json& j) : value_{} { JsonToHostValue(j, &value_); }
  OwnedHostValue(const OwnedHostValue&) = delete;
  OwnedHostValue& operator=(const OwnedHostValue&) = delete;
  OwnedHostValue(OwnedHostValue&& other) noexcept : value_(other.value_) { other.value_ = HostValue{}; }
  OwnedHostValue& operator=(OwnedHostValue&& other) noexcept;
  ~OwnedHostValue() { ReleaseHostValue(&value_); }

  const HostValue& get() const { return value_; }
  HostValue& get() { return value_; }

 private:
  HostValue value_;
};

// Dumps JSON for people and HTTP answers; invalid UTF-8 is replaced, never thrown.
std::string DumpJson(const json& value, int indent = -1);

// Parses JSON text without throwing; on failure returns false and the reason.
// Texts nested deeper than kMaxValueDepth are refused.
bool ParseJson(const std::string& text, json* out, std::string* error);

// Subset match used by expectations: every member of `expected` must be in
// `actual` with a matching value (recursively); arrays match element by
// element and must have the same length; other values compare equal, with
// numbers compared by value whatever their signedness.
bool JsonContains(const json& actual, const json& expected);

}  // namespace kivhost
