#include "value/host_value.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "logging/format.h"
#include "logging/memory.h"
#include "value/walk_stack.h"

namespace kiv::binding {

namespace {

constexpr const char* kIncompatible =
    "Couldn't assign value to '%1' of type object because the input is of an "
    "incompatible type '%2'.";
constexpr const char* kNullPayload =
    "Couldn't assign value to '%1' of type object because the input %2 has no data "
    "but a size of %3.";
constexpr const char* kNullKey =
    "Couldn't assign value to '%1' of type object because a member of the input "
    "structure has no key.";
constexpr const char* kTooDeepToRead =
    "Couldn't assign value to '%1' of type object because the input is nested "
    "deeper than %2 levels.";
constexpr const char* kNoMemoryToRead = "Couldn't assign value to '%1' of type object because memory ran out.";
constexpr const char* kTooDeepToWrite =
    "Couldn't convert value to a host value because it is nested deeper than %1 "
    "levels.";
constexpr const char* kTooLargeToWrite =
    "Couldn't convert value to a host value because it is larger than %1 "
    "items or bytes.";
constexpr const char* kNoMemoryToWrite = "Couldn't convert value to a host value because memory ran out.";

template <typename... A>
void Fail(ValueResult& result, const char* templ, const A&... args) {
  const String message = Format(templ, args...);
  result.Fail(std::string_view(message.data(), message.size()));
}

void Zero(HostValue& host) { std::memset(static_cast<void*>(&host), 0, sizeof(HostValue)); }

// ---------------------------------------------------------------------------
// Reading

// Both directions keep the open collections and structures on a stack of
// their own rather than recursing, so that reaching the depth bound costs
// heap, not call stack.

class Reader {
 public:
  Reader(ValueResult& result, std::string_view name) : result_(result), name_(name) {}

  bool Read(Value& target, const HostValue& host) {
    if (!Enter(target, host, 1)) return false;
    while (!open_.empty()) {
      Frame& top = open_.back();
      const HostValue& owner = *top.host;
      // A child sits one level below its container, whose level is the
      // number of open containers.
      const uint32_t depth = static_cast<uint32_t>(open_.size()) + 1;
      if (owner.kind == KIV_HOST_VALUE_COLLECTION) {
        if (top.next == owner.u.collection.count) {
          open_.pop_back();
          continue;
        }
        const HostValue& item = owner.u.collection.items[top.next++];
        // `top` is not used past this point: entering may move the frames.
        if (!Enter(top.target->Append(), item, depth)) return false;
      } else {
        if (top.next == owner.u.structure.count) {
          // Once, in key order with the last of a repeated key kept, so the
          // value is never reordered by a read.
          top.target->FinishMembers();
          open_.pop_back();
          continue;
        }
        const HostStructEntry& entry = owner.u.structure.entries[top.next++];
        if (entry.key == nullptr) {
          Fail(result_, kNullKey, name_);
          return false;
        }
        if (!Enter(top.target->AppendMember(std::string_view(entry.key)), entry.value, depth)) return false;
      }
    }
    return true;
  }

 private:
  // An open collection or structure, the value it fills and its next child.
  struct Frame {
    const HostValue* host;
    Value* target;
    uint32_t next;
  };

  // Reads a scalar at once; opens a collection or structure.
  bool Enter(Value& target, const HostValue& host, uint32_t depth) {
    if (depth > kHostValueMaxDepth) {
      Fail(result_, kTooDeepToRead, name_, kHostValueMaxDepth);
      return false;
    }
    switch (host.kind) {
      case KIV_HOST_VALUE_EMPTY:
        target.Reset();
        return true;
      case KIV_HOST_VALUE_BOOL:
        target.SetBool(host.u.boolean != 0);
        return true;
      case KIV_HOST_VALUE_SIGNED:
        target.SetSigned(host.u.i64);
        return true;
      case KIV_HOST_VALUE_UNSIGNED:
        target.SetUnsigned(host.u.u64);
        return true;
      case KIV_HOST_VALUE_FLOAT:
        target.SetFloat(host.u.f64);
        return true;
      case KIV_HOST_VALUE_STRING:
      case KIV_HOST_VALUE_OWNED_STRING: {
        const char* data = host.u.text.data;
        const uint32_t length = host.u.text.length;
        if (!CheckPayload(data, length, host.kind)) return false;
        // Read by the length given; the value keeps the text up to its first
        // zero byte within it.
        target.SetString(length != 0 ? std::string_view(data, length) : std::string_view());
        return true;
      }
      case KIV_HOST_VALUE_BLOB:
      case KIV_HOST_VALUE_OWNED_BLOB: {
        const uint8_t* data = host.u.blob.data;
        const uint32_t size = host.u.blob.size;
        if (!CheckPayload(data, size, host.kind)) return false;
        target.SetBlob(data, size);
        return true;
      }
      case KIV_HOST_VALUE_COLLECTION: {
        const HostValue* items = host.u.collection.items;
        const uint32_t count = host.u.collection.count;
        if (!CheckPayload(items, count, host.kind)) return false;
        target.MakeCollection();
        target.Reserve(count);
        open_.push_back(Frame{&host, &target, 0});
        return true;
      }
      case KIV_HOST_VALUE_STRUCTURE: {
        const HostStructEntry* entries = host.u.structure.entries;
        const uint32_t count = host.u.structure.count;
        if (!CheckPayload(entries, count, host.kind)) return false;
        target.MakeStructure();
        target.ReserveMembers(count);
        open_.push_back(Frame{&host, &target, 0});
        return true;
      }
      default:
        Fail(result_, kIncompatible, name_, HostValueKindName(host.kind));
        return false;
    }
  }

  bool CheckPayload(const void* data, uint32_t size, uint32_t kind) {
    if (data != nullptr || size == 0) return true;
    Fail(result_, kNullPayload, name_, HostValueKindName(kind), size);
    return false;
  }

  ValueResult& result_;
  std::string_view name_;
  WalkStack<Frame> open_;
};

// ---------------------------------------------------------------------------
// Writing

enum class [[nodiscard]] WriteError{None, TooDeep, TooLarge, NoMemory};

// Pieces of a block are rounded up to this, so that every array in it is
// aligned for its records.
constexpr std::size_t kBlockAlign = alignof(std::max_align_t);
constexpr std::size_t RoundUp(std::size_t bytes) { return (bytes + kBlockAlign - 1) & ~(kBlockAlign - 1); }

// The bytes a block holding the record of `value` needs: each piece Writer
// takes for a node, rounded up as Take rounds it. Containers nested past the
// write limit are not entered (the write fails there).
std::size_t BlockBytes(const Value& value, const TypeRegistry* registry) {
  struct Frame {
    const Value* elements;
    const ValueMember* members;
    std::size_t count;
    std::size_t next;
  };
  WalkStack<Frame> open;
  std::size_t total = 0;
  const Value* current = &value;
  for (;;) {
    if (current != nullptr) {
      switch (current->Kind()) {
        case ValueKind::String:
          total += RoundUp(current->AsText().size() + 1);
          break;
        case ValueKind::Blob:
          if (!current->AsBlob().empty()) total += RoundUp(current->AsBlob().size());
          break;
        case ValueKind::Enum: {
          const EnumValue e = current->AsEnum();
          const EnumeratorDescriptor* enumerator =
              registry != nullptr && e.type != nullptr ? registry->FindEnumerator(*e.type, e.number) : nullptr;
          if (enumerator != nullptr) total += RoundUp(enumerator->name.size() + 1);
          break;
        }
        case ValueKind::Collection: {
          const auto elements = current->Elements();
          if (elements.empty()) break;
          total += RoundUp(elements.size() * sizeof(HostValue));
          if (open.size() < kHostValueMaxDepth) open.push_back(Frame{elements.data(), nullptr, elements.size(), 0});
          break;
        }
        case ValueKind::Structure: {
          const auto members = current->Members();
          if (members.empty()) break;
          total += RoundUp(members.size() * sizeof(HostStructEntry));
          if (open.size() < kHostValueMaxDepth) open.push_back(Frame{nullptr, members.data(), members.size(), 0});
          break;
        }
        default:
          break;
      }
      current = nullptr;
    }
    if (open.empty()) return total;
    Frame& top = open.back();
    if (top.next == top.count) {
      open.pop_back();
      continue;
    }
    const std::size_t i = top.next++;
    if (top.elements != nullptr) {
      current = &top.elements[i];
    } else {
      total += RoundUp(top.members[i].name().size() + 1);
      current = &top.members[i].value();
    }
  }
}

class Writer {
 public:
  explicit Writer(const TypeRegistry* registry) : registry_(registry) {}

  // From here on, everything written is carved out of [block, block + size)
  // instead of taken from the allocation front end one piece at a time.
  void UseBlock(char* block, std::size_t size) {
    cursor_ = block;
    limit_ = block + size;
  }

  // From here on, texts, keys and bytes point into the tree written rather
  // than into copies, for a tree the record keeps alive until it is released
  // (WriteHostValueHolding); every text of a tree is followed by a zero. What
  // the block cannot hold is carved from chunks allocated as needed and
  // linked, through their first word, from `*chunks`, where the caller frees
  // them (FreeChunks).
  void HoldTree(void** chunks) {
    borrow_ = true;
    chunks_ = chunks;
  }

  WriteError error() const { return error_; }

  // `host` is zero on entry. Whatever was attached to it before a failure
  // stays attached, so releasing `host` frees it.
  bool Write(HostValue& host, const Value& value) {
    if (!Enter(host, value)) return false;  // the root, at depth 1
    while (!open_.empty()) {
      Frame& top = open_.back();
      const uint32_t depth = static_cast<uint32_t>(open_.size()) + 1;
      if (top.next == top.count) {
        open_.pop_back();
        continue;
      }
      const std::size_t i = top.next++;
      if (depth > kHostValueMaxDepth) return Stop(WriteError::TooDeep);  // the one check of a child's depth
      // Most children are scalars, written here without a call; `top` is
      // not used past the Enter calls: entering may move the frames.
      if (top.elements != nullptr) {
        HostValue& item = top.host->u.collection.items[i];
        const Value& element = top.elements[i];
        if (!WriteScalar(item, element) && !Enter(item, element)) return false;
      } else {
        HostStructEntry& entry = top.host->u.structure.entries[i];
        const ValueMember& member = top.members[i];
        char* key = borrow_ ? const_cast<char*>(member.key().CStr()) : CopyText(member.name());
        if (key == nullptr) return Stop(WriteError::NoMemory);
        entry.key = key;
        entry.keyOwned = 1;
        if (!WriteScalar(entry.value, member.value()) && !Enter(entry.value, member.value())) return false;
      }
    }
    return true;
  }

 private:
  // An open collection (elements) or structure (members), the record it
  // fills and its next child.
  struct Frame {
    HostValue* host;
    const Value* elements;
    const ValueMember* members;
    std::size_t count;
    std::size_t next;
  };

  // Writes a number, a bool, an Empty value or a borrowed text, which need
  // nothing allocated; false, with nothing written, for any other value.
  [[gnu::always_inline]] bool WriteScalar(HostValue& host, const Value& value) {
    switch (value.Kind()) {
      case ValueKind::Empty:
        host.kind = KIV_HOST_VALUE_EMPTY;
        return true;
      case ValueKind::Bool:
        host.kind = KIV_HOST_VALUE_BOOL;
        host.u.boolean = value.AsBool() ? 1 : 0;
        return true;
      case ValueKind::Signed:
        host.kind = KIV_HOST_VALUE_SIGNED;
        host.u.i64 = value.AsSigned();
        return true;
      case ValueKind::Unsigned:
        host.kind = KIV_HOST_VALUE_UNSIGNED;
        host.u.u64 = value.AsUnsigned();
        return true;
      case ValueKind::Float:
        host.kind = KIV_HOST_VALUE_FLOAT;
        host.u.f64 = value.AsFloat();
        return true;
      case ValueKind::String:
        if (!borrow_) return false;
        {
          const InternedString* text = value.AsString();
          host.kind = KIV_HOST_VALUE_OWNED_STRING;
          host.u.text.data = text->CStr();
          host.u.text.length = static_cast<uint32_t>(text->Size());
        }
        return true;
      default:
        return false;
    }
  }

  // Writes a scalar at once; attaches the array of a collection or
  // structure and opens it. The caller has checked the value's depth.
  bool Enter(HostValue& host, const Value& value) {
    if (WriteScalar(host, value)) return true;
    switch (value.Kind()) {
      case ValueKind::Empty:
      case ValueKind::Bool:
      case ValueKind::Signed:
      case ValueKind::Unsigned:
      case ValueKind::Float:
        return true;  // written above
      case ValueKind::String:
        return WriteText(host, value.AsText());
      case ValueKind::Blob: {
        const auto bytes = value.AsBlob();
        if (bytes.size() > UINT32_MAX) return Stop(WriteError::TooLarge);
        uint8_t* copy = nullptr;
        if (borrow_) {
          if (!bytes.empty()) copy = const_cast<uint8_t*>(bytes.data());
        } else if (!bytes.empty()) {
          copy = static_cast<uint8_t*>(Take(bytes.size()));
          if (copy == nullptr) return Stop(WriteError::NoMemory);
          std::memcpy(copy, bytes.data(), bytes.size());
        }
        host.kind = KIV_HOST_VALUE_OWNED_BLOB;
        host.u.blob.data = copy;
        host.u.blob.size = static_cast<uint32_t>(bytes.size());
        return true;
      }
      case ValueKind::Enum: {
        const EnumValue e = value.AsEnum();
        const EnumeratorDescriptor* enumerator =
            registry_ != nullptr && e.type != nullptr ? registry_->FindEnumerator(*e.type, e.number) : nullptr;
        if (enumerator != nullptr) {
          return WriteText(host, std::string_view(enumerator->name.data(), enumerator->name.size()));
        }
        host.kind = KIV_HOST_VALUE_SIGNED;
        host.u.i64 = e.number;
        return true;
      }
      case ValueKind::Collection: {
        const auto elements = value.Elements();
        if (elements.size() > UINT32_MAX / sizeof(HostValue)) return Stop(WriteError::TooLarge);
        HostValue* items = nullptr;
        if (!elements.empty()) {
          items = static_cast<HostValue*>(Take(elements.size() * sizeof(HostValue)));
          if (items == nullptr) return Stop(WriteError::NoMemory);
          std::memset(static_cast<void*>(items), 0, elements.size() * sizeof(HostValue));
        }
        host.kind = KIV_HOST_VALUE_COLLECTION;
        host.u.collection.items = items;
        host.u.collection.count = static_cast<uint32_t>(elements.size());
        open_.push_back(Frame{&host, elements.data(), nullptr, elements.size(), 0});
        return true;
      }
      case ValueKind::Structure: {
        const auto members = value.Members();
        if (members.size() > UINT32_MAX / sizeof(HostStructEntry)) return Stop(WriteError::TooLarge);
        HostStructEntry* entries = nullptr;
        if (!members.empty()) {
          entries = static_cast<HostStructEntry*>(Take(members.size() * sizeof(HostStructEntry)));
          if (entries == nullptr) return Stop(WriteError::NoMemory);
          std::memset(static_cast<void*>(entries), 0, members.size() * sizeof(HostStructEntry));
        }
        host.kind = KIV_HOST_VALUE_STRUCTURE;
        host.u.structure.entries = entries;
        host.u.structure.count = static_cast<uint32_t>(members.size());
        open_.push_back(Frame{&host, nullptr, members.data(), members.size(), 0});
        return true;
      }
    }
    // A kind code outside the enumeration: nothing sensible to send.
    host.kind = KIV_HOST_VALUE_EMPTY;
    return true;
  }

  bool Stop(WriteError error) {
    error_ = error;
    return false;
  }

  void* Take(std::size_t bytes) {
    if (cursor_ == nullptr && chunks_ == nullptr) return mem::Allocate(bytes);
    bytes = RoundUp(bytes);
    if (static_cast<std::size_t>(limit_ - cursor_) < bytes) {
      // A block measured beforehand is never short; refused rather than
      // overrun if it were.
      if (chunks_ == nullptr || !NextChunk(bytes)) return nullptr;
    }
    void* piece = cursor_;
    cursor_ += bytes;
    return piece;
  }

  // Chunks double from a size that suits a small answer, so that a large
  // one takes few of them and a small one wastes little.
  static constexpr std::size_t kChunkHeader = RoundUp(sizeof(void*));
  static constexpr std::size_t kMaxChunk = std::size_t{1} << 20;
  bool NextChunk(std::size_t bytes) {
    const std::size_t size = std::max(nextChunk_, kChunkHeader + bytes);  // nextChunk_ never passes kMaxChunk
    auto* chunk = static_cast<char*>(mem::Allocate(size));
    if (chunk == nullptr) return false;
    std::memcpy(chunk, chunks_, sizeof(void*));
    *chunks_ = chunk;
    cursor_ = chunk + kChunkHeader;
    limit_ = chunk + size;
    if (nextChunk_ < kMaxChunk) nextChunk_ *= 2;
    return true;
  }

  // A zero-terminated copy, so that hosts reading up to the zero are safe too.
  char* CopyText(std::string_view text) {
    auto* copy = static_cast<char*>(Take(text.size() + 1));
    if (copy == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
  }

  bool WriteText(HostValue& host, std::string_view text) {
    if (text.size() > UINT32_MAX - 1) return Stop(WriteError::TooLarge);
    char* copy = CopyText(text);
    if (copy == nullptr) return Stop(WriteError::NoMemory);
    host.kind = KIV_HOST_VALUE_OWNED_STRING;
    host.u.text.data = copy;
    host.u.text.length = static_cast<uint32_t>(text.size());
    return true;
  }

  const TypeRegistry* registry_;
  bool borrow_ = false;
  void** chunks_ = nullptr;
  std::size_t nextChunk_ = 2048;
  WriteError error_ = WriteError::None;
  WalkStack<Frame> open_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

// The start of the block of a record written by WriteHostValueBlock: the
// root's own payload is the first piece taken from it. Null when the record
// has no payload of its own (and so no block).
void* BlockOf(const HostValue& host) {
  switch (host.kind) {
    case KIV_HOST_VALUE_STRING:
    case KIV_HOST_VALUE_OWNED_STRING:
      return const_cast<char*>(host.u.text.data);
    case KIV_HOST_VALUE_BLOB:
    case KIV_HOST_VALUE_OWNED_BLOB:
      return const_cast<uint8_t*>(host.u.blob.data);
    case KIV_HOST_VALUE_COLLECTION:
      return host.u.collection.items;
    case KIV_HOST_VALUE_STRUCTURE:
      return host.u.structure.entries;
    default:
      return nullptr;
  }
}

// A record written by WriteHostValueHolding keeps this in front of the
// root's array, in the same block; exactly the records of non-empty
// containers do.
struct HeldHeader {
  Value tree;
  void* chunks = nullptr;  // the other arrays' chunks (Writer::HoldTree)
};
constexpr std::size_t kHeldHeaderBytes = RoundUp(sizeof(HeldHeader));

void FreeChunks(void* chunk) {
  while (chunk != nullptr) {
    void* next;
    std::memcpy(&next, chunk, sizeof next);
    mem::Free(chunk);
    chunk = next;
  }
}

bool HoldsTree(const HostValue& host) {
  return (host.kind == KIV_HOST_VALUE_COLLECTION && host.u.collection.count != 0) ||
         (host.kind == KIV_HOST_VALUE_STRUCTURE && host.u.structure.count != 0);
}

bool IsNonEmptyContainer(const Value& value) {
  return (value.IsCollection() && !value.Elements().empty()) || (value.IsStructure() && !value.Members().empty());
}

}  // namespace

const char* HostValueKindName(uint32_t kind) {
  switch (kind) {
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

bool ReadHostValue(ValueResult& result, Value& target, const HostValue& host, std::string_view name) {
  if (!result.Succeeded()) return false;
  // A failure turns the result into its error structure: when the result is
  // the target, the tree is built aside.
  const bool aliased = &target == static_cast<Value*>(&result);
  Value aside;
  Value& into = aliased ? aside : target;
  Reader reader(result, name);
  bool ok = false;
  try {
    ok = reader.Read(into, host);
  } catch (const std::bad_alloc&) {
    Fail(result, kNoMemoryToRead, name);
  }
  if (!ok) {
    if (!aliased) target.Reset();
    return false;
  }
  if (aliased) target = static_cast<Value&&>(aside);
  return true;
}

namespace {

bool FailWrite(ValueResult& result, WriteError error) {
  switch (error) {
    case WriteError::TooDeep:
      Fail(result, kTooDeepToWrite, kHostValueMaxDepth);
      break;
    case WriteError::TooLarge:
      Fail(result, kTooLargeToWrite, static_cast<uint32_t>(UINT32_MAX));
      break;
    default:
      Fail(result, kNoMemoryToWrite);
      break;
  }
  return false;
}

}  // namespace

bool WriteHostValue(ValueResult& result, HostValue& host, const Value& value, const TypeRegistry* registry) {
  if (!result.Succeeded()) return false;
  ReleaseHostValue(host);
  Writer writer(registry);
  WriteError error = WriteError::NoMemory;
  try {
    if (writer.Write(host, value)) return true;
    error = writer.error();
  } catch (const std::bad_alloc&) {
    // The stack of open containers could not grow: reported like any other
    // exhausted memory.
  }
  ReleaseHostValue(host);
  return FailWrite(result, error);
}

bool WriteHostValueBlock(ValueResult& result, HostValue& host, const Value& value, const TypeRegistry* registry) {
  if (!result.Succeeded()) return false;
  Zero(host);
  Writer writer(registry);
  WriteError error = WriteError::NoMemory;
  try {
    const std::size_t bytes = BlockBytes(value, registry);
    char* block = bytes == 0 ? nullptr : static_cast<char*>(mem::Allocate(bytes));
    if (bytes == 0 || block != nullptr) {
      if (block != nullptr) writer.UseBlock(block, bytes);
      if (writer.Write(host, value)) return true;
      error = writer.error();
      // The root's payload was taken first, so the block is found through it;
      // if even that failed, nothing points at the block.
      if (BlockOf(host) != block) mem::Free(block);
    }
  } catch (const std::bad_alloc&) {
  }
  ReleaseHostValueBlock(host);
  return FailWrite(result, error);
}

void ReleaseHostValueBlock(HostValue& host) {
  mem::Free(BlockOf(host));
  Zero(host);
}

bool WriteHostValueHolding(ValueResult& result, HostValue& host, Value& value, const TypeRegistry* registry) {
  if (!result.Succeeded()) return false;
  if (!IsNonEmptyContainer(value)) return WriteHostValueBlock(result, host, value, registry);
  Zero(host);
  Writer writer(registry);
  WriteError error = WriteError::NoMemory;
  char* block = nullptr;
  HeldHeader* header = nullptr;
  const bool moved = value.IsOwner();
  try {
    // The block holds the header and the root's own array, which
    // ReleaseHostValueHeld finds the header by; the other arrays go to chunks
    // as they are written, so the tree is not walked beforehand to measure
    // them. A count too large for the records is refused by the writer
    // before it takes any.
    const std::size_t count = value.IsCollection() ? value.Elements().size() : value.Members().size();
    const std::size_t record = value.IsCollection() ? sizeof(HostValue) : sizeof(HostStructEntry);
    const std::size_t rootBytes = count <= UINT32_MAX / record ? RoundUp(count * record) : 0;
    block = static_cast<char*>(mem::Allocate(kHeldHeaderBytes + rootBytes));
    if (block != nullptr) {
      header = ::new (static_cast<void*>(block)) HeldHeader();
      // Between two roots a move is an exchange: nothing is copied.
      if (moved) {
        header->tree = static_cast<Value&&>(value);
      } else {
        header->tree = value;
      }
      writer.UseBlock(block + kHeldHeaderBytes, rootBytes);
      writer.HoldTree(&header->chunks);
      if (writer.Write(host, header->tree)) return true;
      error = writer.error();
    }
  } catch (const std::bad_alloc&) {
  }
  Zero(host);
  if (header != nullptr) {
    if (moved) value = static_cast<Value&&>(header->tree);
    FreeChunks(header->chunks);
    header->~HeldHeader();
  }
  mem::Free(block);
  return FailWrite(result, error);
}

void ReleaseHostValueHeld(HostValue& host) {
  if (!HoldsTree(host)) return ReleaseHostValueBlock(host);
  char* block = static_cast<char*>(BlockOf(host)) - kHeldHeaderBytes;
  HeldHeader* header = std::launder(reinterpret_cast<HeldHeader*>(block));
  FreeChunks(header->chunks);
  header->~HeldHeader();
  mem::Free(block);
  Zero(host);
}

void ReleaseHostValue(HostValue& host) {
  // Depth-first without recursion: each open container is a frame holding
  // the record and the index of its next child. Containers are freed and
  // zeroed once all their children are.
  struct Frame {
    HostValue* owner;
    uint32_t next;
  };
  WalkStack<Frame> stack;
  HostValue* current = &host;
  for (;;) {
    if (current != nullptr) {
      switch (current->kind) {
        case KIV_HOST_VALUE_OWNED_STRING:
          mem::Free(const_cast<char*>(current->u.text.data));
          Zero(*current);
          break;
        case KIV_HOST_VALUE_OWNED_BLOB:
          mem::Free(const_cast<uint8_t*>(current->u.blob.data));
          Zero(*current);
          break;
        case KIV_HOST_VALUE_COLLECTION:
        case KIV_HOST_VALUE_STRUCTURE:
          stack.push_back(Frame{current, 0});
          break;
        default:
          Zero(*current);
          break;
      }
      current = nullptr;
    }
    if (stack.empty()) return;
    Frame& top = stack.back();
    HostValue& owner = *top.owner;
    if (owner.kind == KIV_HOST_VALUE_COLLECTION) {
      if (owner.u.collection.items != nullptr && top.next < owner.u.collection.count) {
        current = &owner.u.collection.items[top.next++];
        continue;
      }
      mem::Free(owner.u.collection.items);
    } else {
      HostStructEntry* entries = owner.u.structure.entries;
      if (entries != nullptr && top.next < owner.u.structure.count) {
        HostStructEntry& entry = entries[top.next++];
        if (entry.keyOwned != 0) mem::Free(const_cast<char*>(entry.key));
        entry.key = nullptr;
        entry.keyOwned = 0;
        current = &entry.value;
        continue;
      }
      mem::Free(entries);
    }
    Zero(owner);
    stack.pop_back();
  }
}

}  // namespace kiv::binding
