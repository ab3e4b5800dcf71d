#include "host_value.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace kivhost {
namespace {

char* CopyText(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

ReadResult Fail(std::string message) { return ReadResult{false, std::move(message)}; }

ReadResult Read(const HostValue& value, json* out, uint32_t depth) {
  if (depth > kMaxValueDepth) return Fail("value nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
  const uint32_t kind = value.kind;
  switch (kind) {
    case KIV_HOST_VALUE_EMPTY:
      *out = nullptr;
      return {};
    case KIV_HOST_VALUE_BOOL:
      *out = value.u.boolean != 0;
      return {};
    case KIV_HOST_VALUE_SIGNED:
      *out = static_cast<int64_t>(value.u.i64);
      return {};
    case KIV_HOST_VALUE_UNSIGNED:
      *out = static_cast<uint64_t>(value.u.u64);
      return {};
    case KIV_HOST_VALUE_FLOAT:
      *out = static_cast<double>(value.u.f64);
      return {};
    case KIV_HOST_VALUE_STRING:
    case KIV_HOST_VALUE_OWNED_STRING: {
      const char* data = value.u.text.data;
      const uint32_t length = value.u.text.length;
      if (data == nullptr) {
        if (length != 0) return Fail("null text with length " + std::to_string(length));
        *out = "";
        return {};
      }
      // A plugin reads a text up to its first zero byte; the host does the same.
      *out = std::string(data, strnlen(data, length));
      return {};
    }
    case KIV_HOST_VALUE_BLOB:
    case KIV_HOST_VALUE_OWNED_BLOB: {
      const uint8_t* data = value.u.blob.data;
      const uint32_t size = value.u.blob.size;
      if (data == nullptr && size != 0) return Fail("null blob with size " + std::to_string(size));
      if (size > kMaxValueItems * 16u) return Fail("blob of " + std::to_string(size) + " bytes is too large");
      *out = json::binary(std::vector<uint8_t>(data, data + size));
      return {};
    }
    case KIV_HOST_VALUE_COLLECTION: {
      const HostValue* items = value.u.collection.items;
      const uint32_t count = value.u.collection.count;
      if (items == nullptr && count != 0) return Fail("null collection with " + std::to_string(count) + " items");
      if (count > kMaxValueItems) return Fail("collection of " + std::to_string(count) + " items is too large");
      json array = json::array();
      for (uint32_t i = 0; i < count; ++i) {
        json element;
        ReadResult r = Read(items[i], &element, depth + 1);
        if (!r.ok) return Fail("item " + std::to_string(i) + ": " + r.error);
        array.push_back(std::move(element));
      }
      *out = std::move(array);
      return {};
    }
    case KIV_HOST_VALUE_STRUCTURE: {
      const HostStructEntry* entries = value.u.structure.entries;
      const uint32_t count = value.u.structure.count;
      if (entries == nullptr && count != 0) return Fail("null structure with " + std::to_string(count) + " members");
      if (count > kMaxValueItems) return Fail("structure of " + std::to_string(count) + " members is too large");
      json object = json::object();
      for (uint32_t i = 0; i < count; ++i) {
        const char* key = entries[i].key;
        if (key == nullptr) return Fail("member " + std::to_string(i) + " has a null key");
        json member;
        ReadResult r = Read(entries[i].value, &member, depth + 1);
        if (!r.ok) return Fail(std::string("member '") + key + "': " + r.error);
        object[key] = std::move(member);
      }
      *out = std::move(object);
      return {};
    }
    default:
      return Fail("invalid value kind " + std::to_string(kind));
  }
}

}  // namespace

ReadResult HostValueToJson(const HostValue& value, json* out) { return Read(value, out, 0); }

void JsonToHostValue(const json& value, HostValue* out) {
  HostValue v{};
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
      v.kind = KIV_HOST_VALUE_EMPTY;
      break;
    case json::value_t::boolean:
      v.kind = KIV_HOST_VALUE_BOOL;
      v.u.boolean = value.get<bool>() ? 1 : 0;
      break;
    case json::value_t::number_integer:
      v.kind = KIV_HOST_VALUE_SIGNED;
      v.u.i64 = value.get<int64_t>();
      break;
    case json::value_t::number_unsigned:
      v.kind = KIV_HOST_VALUE_UNSIGNED;
      v.u.u64 = value.get<uint64_t>();
      break;
    case json::value_t::number_float:
      v.kind = KIV_HOST_VALUE_FLOAT;
      v.u.f64 = value.get<double>();
      break;
    case json::value_t::string: {
      const std::string& text = value.get_ref<const std::string&>();
      v.kind = KIV_HOST_VALUE_OWNED_STRING;
      v.u.text.data = CopyText(text);
      v.u.text.length = static_cast<uint32_t>(text.size());
      break;
    }
    case json::value_t::binary: {
      const auto& bytes = value.get_binary();
      auto* copy = static_cast<uint8_t*>(std::malloc(bytes.size() + 1));
      if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
      v.kind = KIV_HOST_VALUE_OWNED_BLOB;
      v.u.blob.data = copy;
      v.u.blob.size = static_cast<uint32_t>(bytes.size());
      break;
    }
    case json::value_t::array: {
      auto* items = static_cast<HostValue*>(std::calloc(value.size() + 1, sizeof(HostValue)));
      uint32_t i = 0;
      for (const auto& element : value) JsonToHostValue(element, &items[i++]);
      v.kind = KIV_HOST_VALUE_COLLECTION;
      v.u.collection.items = items;
      v.u.collection.count = i;
      break;
    }
    case json::value_t::object: {
      auto* entries = static_cast<HostStructEntry*>(std::calloc(value.size() + 1, sizeof(HostStructEntry)));
      uint32_t i = 0;
      // The object map is ordered by std::less on the key bytes: byte order.
      for (auto it = value.begin(); it != value.end(); ++it, ++i) {
        entries[i].key = CopyText(it.key());
        entries[i].keyOwned = 1;
        JsonToHostValue(it.value(), &entries[i].value);
      }
      v.kind = KIV_HOST_VALUE_STRUCTURE;
      v.u.structure.entries = entries;
      v.u.structure.count = i;
      break;
    }
  }
  *out = v;
}

void ReleaseHostValue(HostValue* value) {
  if (value == nullptr) return;
  switch (value->kind) {
    case KIV_HOST_VALUE_OWNED_STRING:
      std::free(const_cast<char*>(value->u.text.data));
      break;
    case KIV_HOST_VALUE_OWNED_BLOB:
      std::free(const_cast<uint8_t*>(value->u.blob.data));
      break;
    case KIV_HOST_VALUE_COLLECTION: {
      HostValue* items = value->u.collection.items;
      if (items != nullptr) {
        for (uint32_t i = 0; i < value->u.collection.count; ++i) ReleaseHostValue(&items[i]);
      }
      std::free(items);
      break;
    }
    case KIV_HOST_VALUE_STRUCTURE: {
      HostStructEntry* entries = value->u.structure.entries;
      if (entries != nullptr) {
        for (uint32_t i = 0; i < value->u.structure.count; ++i) {
          if (entries[i].keyOwned != 0) std::free(const_cast<char*>(entries[i].key));
          ReleaseHostValue(&entries[i].value);
        }
      }
      std::free(entries);
      break;
    }
    default:
      break;
  }
  *value = HostValue{};
}

const char* HostValueKindName(uint32_t kind) {
  switch (kind) {
    case KIV_HOST_VALUE_EMPTY:
      return "empty";
    case KIV_HOST_VALUE_BOOL:
      return "bool";
    case KIV_HOST_VALUE_SIGNED:
      return "signed";
    case KIV_HOST_VALUE_UNSIGNED:
      return "unsigned";
    case KIV_HOST_VALUE_FLOAT:
      return "float";
    case KIV_HOST_VALUE_STRING:
    case KIV_HOST_VALUE_OWNED_STRING:
      return "string";
    case KIV_HOST_VALUE_BLOB:
    case KIV_HOST_VALUE_OWNED_BLOB:
      return "blob";
    case KIV_HOST_VALUE_COLLECTION:
      return "collection";
    case KIV_HOST_VALUE_STRUCTURE:
      return "structure";
    default:
      return "";
  }
}

OwnedHostValue& OwnedHostValue::operator=(OwnedHostValue&& other) noexcept {
  if (this != &other) {
    ReleaseHostValue(&value_);
    value_ = other.value_;
    other.value_ = HostValue{};
  }
  return *this;
}

std::string DumpJson(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

bool ParseJson(const std::string& text, json* out, std::string* error) {
  try {
    *out = json::parse(text);
    return true;
  } catch (const json::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
}

bool JsonContains(const json& actual, const json& expected) {
  if (expected.is_object()) {
    if (!actual.is_object()) return false;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
      auto found = actual.find(it.key());
      if (found == actual.end() || !JsonContains(*found, it.value())) return false;
    }
    return true;
  }
  if (expected.is_array()) {
    if (!actual.is_array() || actual.size() != expected.size()) return false;
    for (size_t i = 0; i < expected.size(); ++i) {
      if (!JsonContains(actual[i], expected[i])) return false;
    }
    return true;
  }
  if (expected.is_number() && actual.is_number()) {
    if (expected.is_number_float() || actual.is_number_float()) return expected.get<double>() == actual.get<double>();
    if (expected.is_number_unsigned() && actual.is_number_unsigned()) return expected == actual;
    // Mixed signedness: equal when both are non-negative and equal, or both the same negative number.
    const bool expNeg = expected.is_number_integer() && !expected.is_number_unsigned() && expected.get<int64_t>() < 0;
    const bool actNeg = actual.is_number_integer() && !actual.is_number_unsigned() && actual.get<int64_t>() < 0;
    if (expNeg != actNeg) return false;
    if (expNeg) return expected.get<int64_t>() == actual.get<int64_t>();
    return expected.get<uint64_t>() == actual.get<uint64_t>();
  }
  return actual == expected;
}

}  // namespace kivhost
