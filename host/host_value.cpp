#include "host_value.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace kivhost {
namespace {

char* CopyText(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

ReadResult Fail(std::string message) { return ReadResult{false, std::move(message)}; }

// The walks below keep the open collections, structures, arrays and objects
// on a stack of their own: a value nests as deep as its sender made it, and
// the threads these run on (a plugin's among them) may have small stacks.

// An open collection or structure of a read, the JSON it fills and its next
// child.
struct ReadFrame {
  const HostValue* value;
  json* target;
  uint32_t next;
};

// Reads a scalar into `out` at once; makes `out` an empty array or object
// for a collection or structure and opens it. The message of a failure, else
// the empty text.
std::string Enter(const HostValue& value, json* out, uint32_t depth, std::vector<ReadFrame>* open) {
  if (depth > kMaxValueDepth) return "value nested deeper than " + std::to_string(kMaxValueDepth) + " levels";
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
        if (length != 0) return "null text with length " + std::to_string(length);
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
      if (data == nullptr && size != 0) return "null blob with size " + std::to_string(size);
      if (size > kMaxValueItems * 16u) return "blob of " + std::to_string(size) + " bytes is too large";
      *out = json::binary(std::vector<uint8_t>(data, data + size));
      return {};
    }
    case KIV_HOST_VALUE_COLLECTION: {
      const uint32_t count = value.u.collection.count;
      if (value.u.collection.items == nullptr && count != 0) {
        return "null collection with " + std::to_string(count) + " items";
      }
      if (count > kMaxValueItems) return "collection of " + std::to_string(count) + " items is too large";
      *out = json::array();
      open->push_back(ReadFrame{&value, out, 0});
      return {};
    }
    case KIV_HOST_VALUE_STRUCTURE: {
      const uint32_t count = value.u.structure.count;
      if (value.u.structure.entries == nullptr && count != 0) {
        return "null structure with " + std::to_string(count) + " members";
      }
      if (count > kMaxValueItems) return "structure of " + std::to_string(count) + " members is too large";
      *out = json::object();
      open->push_back(ReadFrame{&value, out, 0});
      return {};
    }
    default:
      return "invalid value kind " + std::to_string(kind);
  }
}

// Where a failure sits, outermost first ("item 1: member 'k': "): the child
// each of the first `frames` open containers is at.
std::string PathTo(const std::vector<ReadFrame>& open, size_t frames) {
  std::string path;
  for (size_t i = 0; i < frames; ++i) {
    const HostValue& container = *open[i].value;
    const uint32_t child = open[i].next - 1;
    if (container.kind == KIV_HOST_VALUE_COLLECTION) {
      path += "item " + std::to_string(child) + ": ";
    } else {
      path += std::string("member '") + container.u.structure.entries[child].key + "': ";
    }
  }
  return path;
}

// An open array or object being built into a record, its next child and
// that child's index.
struct BuildFrame {
  const json* source;
  json::const_iterator next;
  HostValue* items;
  HostStructEntry* entries;
  uint32_t index;
};

// Builds a scalar record at once; allocates the array of a collection or
// structure and opens it.
void Build(const json& value, HostValue* out, std::vector<BuildFrame>* open) {
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
      if (copy == nullptr) throw std::bad_alloc();
      if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
      v.kind = KIV_HOST_VALUE_OWNED_BLOB;
      v.u.blob.data = copy;
      v.u.blob.size = static_cast<uint32_t>(bytes.size());
      break;
    }
    case json::value_t::array: {
      auto* items = static_cast<HostValue*>(std::calloc(value.size() + 1, sizeof(HostValue)));
      if (items == nullptr) throw std::bad_alloc();
      v.kind = KIV_HOST_VALUE_COLLECTION;
      v.u.collection.items = items;
      v.u.collection.count = static_cast<uint32_t>(value.size());
      open->push_back(BuildFrame{&value, value.cbegin(), items, nullptr, 0});
      break;
    }
    case json::value_t::object: {
      auto* entries = static_cast<HostStructEntry*>(std::calloc(value.size() + 1, sizeof(HostStructEntry)));
      if (entries == nullptr) throw std::bad_alloc();
      v.kind = KIV_HOST_VALUE_STRUCTURE;
      v.u.structure.entries = entries;
      v.u.structure.count = static_cast<uint32_t>(value.size());
      open->push_back(BuildFrame{&value, value.cbegin(), nullptr, entries, 0});
      break;
    }
  }
  *out = v;
}

// The deepest level of a JSON text is within `limit`, counting every value
// (the root is level 1, a key counts like its value). Exact for valid texts,
// which is all that matters: the others fail to parse anyway.
bool NestsWithin(const std::string& text, uint32_t limit) {
  uint32_t open = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '[':
      case '{':
        if (++open > limit) return false;
        break;
      case ']':
      case '}':
        if (open > 0) --open;
        break;
      case ' ':
      case '\t':
      case '\n':
      case '\r':
      case ',':
      case ':':
        break;
      case '"':
        inString = true;
        [[fallthrough]];
      default:
        if (open + 1 > limit) return false;
        break;
    }
  }
  return true;
}

}  // namespace

ReadResult HostValueToJson(const HostValue& value, json* out) {
  json root;
  std::vector<ReadFrame> open;
  std::string error = Enter(value, &root, 1, &open);
  if (!error.empty()) return Fail(std::move(error));
  while (!open.empty()) {
    ReadFrame& top = open.back();
    const HostValue& container = *top.value;
    // A child sits one level below its container, whose level is the number
    // of open containers.
    const uint32_t depth = static_cast<uint32_t>(open.size()) + 1;
    json* child = nullptr;
    const HostValue* record = nullptr;
    if (container.kind == KIV_HOST_VALUE_COLLECTION) {
      if (top.next == container.u.collection.count) {
        open.pop_back();
        continue;
      }
      record = &container.u.collection.items[top.next++];
      top.target->push_back(nullptr);
      child = &top.target->back();
    } else {
      if (top.next == container.u.structure.count) {
        open.pop_back();
        continue;
      }
      const HostStructEntry& entry = container.u.structure.entries[top.next];
      if (entry.key == nullptr) {
        return Fail(PathTo(open, open.size() - 1) + "member " + std::to_string(top.next) + " has a null key");
      }
      ++top.next;
      record = &entry.value;
      child = &(*top.target)[entry.key];
    }
    // `top` is not used past this point: entering may move the frames.
    error = Enter(*record, child, depth, &open);
    if (!error.empty()) return Fail(PathTo(open, open.size()) + error);
  }
  *out = std::move(root);
  return {};
}

void JsonToHostValue(const json& value, HostValue* out) {
  std::vector<BuildFrame> open;
  Build(value, out, &open);
  // Out of memory part way, what was built goes; the rest is still zeroed.
  try {
    while (!open.empty()) {
      BuildFrame& top = open.back();
      if (top.next == top.source->cend()) {
        open.pop_back();
        continue;
      }
      const json::const_iterator it = top.next++;
      const uint32_t i = top.index++;
      // `top` is not used past the Build calls: building may move the frames.
      if (top.items != nullptr) {
        Build(*it, &top.items[i], &open);
      } else {
        HostStructEntry& entry = top.entries[i];
        entry.key = CopyText(it.key());
        entry.keyOwned = 1;
        Build(it.value(), &entry.value, &open);
      }
    }
  } catch (...) {
    ReleaseHostValue(out);
    throw;
  }
}

void ReleaseHostValue(HostValue* value) {
  if (value == nullptr) return;
  // Each open container with the index of its next child; a container is
  // freed and zeroed once all its children are.
  struct Frame {
    HostValue* owner;
    uint32_t next;
  };
  std::vector<Frame> open;
  HostValue* current = value;
  for (;;) {
    if (current != nullptr) {
      switch (current->kind) {
        case KIV_HOST_VALUE_OWNED_STRING:
          std::free(const_cast<char*>(current->u.text.data));
          *current = HostValue{};
          break;
        case KIV_HOST_VALUE_OWNED_BLOB:
          std::free(const_cast<uint8_t*>(current->u.blob.data));
          *current = HostValue{};
          break;
        case KIV_HOST_VALUE_COLLECTION:
        case KIV_HOST_VALUE_STRUCTURE:
          open.push_back(Frame{current, 0});
          break;
        default:
          *current = HostValue{};
          break;
      }
      current = nullptr;
    }
    if (open.empty()) return;
    Frame& top = open.back();
    HostValue& owner = *top.owner;
    if (owner.kind == KIV_HOST_VALUE_COLLECTION) {
      if (owner.u.collection.items != nullptr && top.next < owner.u.collection.count) {
        current = &owner.u.collection.items[top.next++];
        continue;
      }
      std::free(owner.u.collection.items);
    } else {
      HostStructEntry* entries = owner.u.structure.entries;
      if (entries != nullptr && top.next < owner.u.structure.count) {
        HostStructEntry& entry = entries[top.next++];
        if (entry.keyOwned != 0) std::free(const_cast<char*>(entry.key));
        current = &entry.value;
        continue;
      }
      std::free(entries);
    }
    owner = HostValue{};
    open.pop_back();
  }
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
  // The layout of json::dump, with the open arrays and objects on a stack of
  // their own; every other value, and every key, is written by the library's
  // own serializer, so texts, numbers and binaries read exactly as there.
  std::string text;
  nlohmann::detail::serializer<json> scalars(nlohmann::detail::output_adapter<char>(text), ' ',
                                             json::error_handler_t::replace);
  const bool pretty = indent >= 0;
  const unsigned step = pretty ? static_cast<unsigned>(indent) : 0u;
  struct Frame {
    const json* container;
    json::const_iterator next;
    unsigned indent;
  };
  std::vector<Frame> open;
  json key = "";
  auto write = [&](const json& v, unsigned at) {
    if (v.is_structured() && !v.empty()) {
      text += v.is_object() ? '{' : '[';
      if (pretty) text += '\n';
      open.push_back(Frame{&v, v.cbegin(), at});
    } else {
      scalars.dump(v, pretty, false, step, at);
    }
  };
  write(value, 0);
  while (!open.empty()) {
    Frame& top = open.back();
    const json& container = *top.container;
    if (top.next == container.cend()) {
      if (pretty) {
        text += '\n';
        text.append(top.indent, ' ');
      }
      text += container.is_object() ? '}' : ']';
      open.pop_back();
      continue;
    }
    if (top.next != container.cbegin()) text += pretty ? ",\n" : ",";
    const unsigned at = top.indent + step;
    if (pretty) text.append(at, ' ');
    const json::const_iterator it = top.next++;
    if (container.is_object()) {
      *key.get_ptr<json::string_t*>() = it.key();
      scalars.dump(key, false, false, 0, 0);
      text += pretty ? ": " : ":";
    }
    // `top` is not used past this point: writing may move the frames.
    write(*it, at);
  }
  return text;
}

bool ParseJson(const std::string& text, json* out, std::string* error) {
  // The library's parser keeps its own stack, but copying, comparing and
  // dumping its trees recurse: deeper texts are refused before they become one.
  if (!NestsWithin(text, kMaxValueDepth)) {
    if (error != nullptr) *error = "nested deeper than " + std::to_string(kMaxValueDepth) + " levels";
    return false;
  }
  try {
    *out = json::parse(text);
    return true;
  } catch (const json::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
}

bool JsonContains(const json& actual, const json& expected) {
  // Pairs still to match; every one must.
  std::vector<std::pair<const json*, const json*>> pending{{&actual, &expected}};
  while (!pending.empty()) {
    const json& a = *pending.back().first;
    const json& e = *pending.back().second;
    pending.pop_back();
    if (e.is_object()) {
      if (!a.is_object()) return false;
      for (auto it = e.begin(); it != e.end(); ++it) {
        auto found = a.find(it.key());
        if (found == a.end()) return false;
        pending.emplace_back(&*found, &it.value());
      }
      continue;
    }
    if (e.is_array()) {
      if (!a.is_array() || a.size() != e.size()) return false;
      for (size_t i = 0; i < e.size(); ++i) pending.emplace_back(&a[i], &e[i]);
      continue;
    }
    if (e.is_number() && a.is_number()) {
      if (e.is_number_float() || a.is_number_float()) {
        if (e.get<double>() != a.get<double>()) return false;
        continue;
      }
      if (e.is_number_unsigned() && a.is_number_unsigned()) {
        if (e != a) return false;
        continue;
      }
      // Mixed signedness: equal when both are non-negative and equal, or both the same negative number.
      const bool expNeg = e.is_number_integer() && !e.is_number_unsigned() && e.get<int64_t>() < 0;
      const bool actNeg = a.is_number_integer() && !a.is_number_unsigned() && a.get<int64_t>() < 0;
      if (expNeg != actNeg) return false;
      if (expNeg ? e.get<int64_t>() != a.get<int64_t>() : e.get<uint64_t>() != a.get<uint64_t>()) return false;
      continue;
    }
    // Neither is a container here, or only one is: no recursion in the comparison.
    if (a != e) return false;
  }
  return true;
}

size_t JsonFootprint(const json& value) {
  if (value.is_string()) return 16 + value.get_ref<const std::string&>().size();
  if (!value.is_structured() && !value.is_binary()) return 16;
  size_t total = 0;
  std::vector<const json*> pending{&value};
  while (!pending.empty()) {
    const json& v = *pending.back();
    pending.pop_back();
    total += 16;
    if (v.is_string()) {
      total += v.get_ref<const std::string&>().size();
    } else if (v.is_binary()) {
      total += v.get_binary().size();
    } else if (v.is_array()) {
      for (const json& element : v) pending.push_back(&element);
    } else if (v.is_object()) {
      for (auto it = v.begin(); it != v.end(); ++it) {
        total += 16 + it.key().size();
        pending.push_back(&it.value());
      }
    }
  }
  return total;
}

}  // namespace kivhost
