#include "value/value.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "value/value_tree.h"

namespace kiv::binding {

const char* ValueKindName(ValueKind kind) {
  static constexpr const char* kNames[] = {"empty",  "bool", "signed", "unsigned",   "float",
                                           "string", "blob", "enum",   "collection", "structure"};
  const auto code = static_cast<uint8_t>(kind);
  return code < std::size(kNames) ? kNames[code] : "";
}

// ---------------------------------------------------------------------------
// Lifetime

Value::~Value() {
  if (owner_ != 0) {
    // Every record of the tree lives in the arena: dropping it is enough.
    if (arena_ != nullptr) delete arena_;
  } else if (kind_ >= ValueKind::String) {
    ValueTree::Release(*this);
  }
}

Value::Value(const Value& other) : Value() { CopyFrom(other); }

Value::Value(Value&& other) : Value() { MoveFrom(other); }

ValueArena* Value::CreateArena() {
  arena_ = new ValueArena();
  return arena_;
}

void Value::Reset() {
  if (owner_ == 0) {
    if (kind_ >= ValueKind::String) ValueTree::Release(*this);
    kind_ = ValueKind::Empty;
    payload_.bits = 0;
    return;
  }
  // A root's arena holds nothing but this payload, so it can be emptied at once.
  if (arena_ != nullptr && kind_ >= ValueKind::String) arena_->Clear();
  kind_ = ValueKind::Empty;
  payload_.bits = 0;
}

void Value::ReleasePayload() {
  if (kind_ >= ValueKind::String) ValueTree::Release(*this);
  kind_ = ValueKind::Empty;
  payload_.bits = 0;
}

void Value::CopyFrom(const Value& source) {
  if (&source == this) return;
  if (arena_ != nullptr && source.arena_ == arena_) {
    // One tree: either may contain the other, so build the copy before
    // letting go of anything.
    const ValueKind kind = source.kind_;
    const Payload copy = ValueTree::CopyPayload(source, arena_);
    ReleasePayload();
    kind_ = kind;
    payload_ = copy;
    return;
  }
  Reset();
  ValueArena* arena = ValueTree::NeedsArena(source) ? EnsureArena() : arena_;
  // A whole tree brings all of its texts: size the table once.
  if (source.owner_ != 0 && source.arena_ != nullptr && arena != nullptr) {
    arena->ReserveStrings(arena->ReadStats().strings + source.arena_->ReadStats().strings);
  }
  payload_ = ValueTree::CopyPayload(source, arena);
  kind_ = source.kind_;
}

void Value::MoveFrom(Value& source) {
  if (&source == this) return;
  if (owner_ != 0 && source.owner_ != 0) {
    std::swap(payload_, source.payload_);
    std::swap(arena_, source.arena_);
    std::swap(kind_, source.kind_);
    source.Reset();
    return;
  }
  if (arena_ != nullptr && source.arena_ == arena_) {
    if (source.owner_ != 0) {
      // This value lies inside the source's tree: copying the source here and
      // then resetting it leaves nothing, so do just that.
      source.Reset();
      return;
    }
    const ValueKind kind = source.kind_;
    const Payload payload = source.payload_;
    source.kind_ = ValueKind::Empty;
    source.payload_.bits = 0;
    if (owner_ == 0 && ValueTree::Contains(kind, payload, this)) {
      // Moved into its own descendant: the result of copy-then-reset is the
      // source reset and this value gone with it.
      Value detached;
      detached.InitChild(arena_);
      detached.kind_ = kind;
      detached.payload_ = payload;
      ValueTree::Release(detached);
      return;
    }
    ReleasePayload();
    kind_ = kind;
    payload_ = payload;
    return;
  }
  CopyFrom(source);
  source.Reset();
}

// ---------------------------------------------------------------------------
// Setters

void Value::SetString(const char* text) { SetString(text == nullptr ? std::string_view() : std::string_view(text)); }

void Value::SetString(std::string_view text) {
  // Made before the old payload goes: the text may be part of it.
  const InternedString* record = nullptr;
  if (text.size() >= ValueArena::kSharedTextLimit) {
    record = EnsureArena()->MakeLongText(text);
    if (record == nullptr) text = CutAtZero(text);  // only what precedes a zero byte counts
  }
  if (record == nullptr) {
    if (text.size() >= ValueArena::kSharedTextLimit) {
      record = arena_->MakeStandalone(text, 0);
    } else if (!text.empty() && text[0] != '\0') {
      record = EnsureArena()->InternShort(text);
    } else {
      record = &InternedString::Empty();
    }
  }
  if (kind_ >= ValueKind::String) ReleasePayload();
  kind_ = ValueKind::String;
  payload_.s = record;
}

void Value::SetBlob(const void* data, std::size_t size) {
  if (size == 0) {
    Reset();
    kind_ = ValueKind::Blob;
    return;
  }
  if (size > UINT32_MAX - 64) throw std::bad_alloc();
  ValueArena* arena = EnsureArena();
  const std::size_t capacity = ValueArena::UsableSize(BlobBytes(size)) - kBlockHeader;
  auto* block = static_cast<BlobBlock*>(arena->Allocate(BlobBytes(capacity)));
  block->size = static_cast<uint32_t>(size);
  block->capacity = static_cast<uint32_t>(capacity);
  std::memcpy(BytesOf(block), data, size);
  ReleasePayload();
  kind_ = ValueKind::Blob;
  payload_.block = block;
}

void Value::TakeBlob(Vector<uint8_t>& bytes) {
  SetBlob(bytes.data(), bytes.size());
  Vector<uint8_t>().swap(bytes);
}

void Value::AppendBlob(const void* data, std::size_t size) {
  if (kind_ != ValueKind::Blob) {
    Reset();
    kind_ = ValueKind::Blob;
  }
  if (size == 0) return;
  BlobBlock* block = ValueTree::Blob(*this);
  const std::size_t used = block != nullptr ? block->size : 0;
  if (size > UINT32_MAX - 64 - used) throw std::bad_alloc();
  const std::size_t needed = used + size;
  if (block == nullptr || needed > block->capacity) {
    ValueArena* arena = EnsureArena();
    const auto* source = static_cast<const uint8_t*>(data);
    std::ptrdiff_t inside = -1;  // the bytes may come from this very blob
    if (block != nullptr && source >= BytesOf(block) && source < BytesOf(block) + used)
      inside = source - BytesOf(block);
    const std::size_t oldCapacity = block != nullptr ? block->capacity : 0;
    std::size_t capacity = std::max<std::size_t>({needed, oldCapacity * 2, 16});
    capacity = std::min<std::size_t>(capacity, UINT32_MAX - 64);
    capacity = ValueArena::UsableSize(BlobBytes(capacity)) - kBlockHeader;
    block =
        static_cast<BlobBlock*>(block == nullptr ? arena->Allocate(BlobBytes(capacity))
                                                 : arena->Resize(block, BlobBytes(oldCapacity), BlobBytes(capacity)));
    if (oldCapacity == 0) block->size = 0;
    block->capacity = static_cast<uint32_t>(capacity);
    payload_.block = block;
    if (inside >= 0) data = BytesOf(block) + inside;
  }
  std::memmove(BytesOf(block) + used, data, size);
  block->size = static_cast<uint32_t>(needed);
}

void Value::SetEnum(int32_t number, const TypeId* type) {
  Reset();
  auto* record = static_cast<EnumRecord*>(EnsureArena()->Allocate(sizeof(EnumRecord)));
  record->number = number;
  record->type = type;
  kind_ = ValueKind::Enum;
  payload_.block = record;
}

// ---------------------------------------------------------------------------
// Shape

void Value::GrowElements(std::size_t minimum, bool exact) {
  constexpr std::size_t kMax = MaxCountFor(sizeof(Value));
  if (minimum > kMax) throw std::bad_alloc();
  ValueArena* arena = EnsureArena();
  ArrayBlock* block = ValueTree::Array(*this);
  const std::size_t old = block != nullptr ? block->capacity : 0;
  const std::size_t wanted = std::min(exact ? minimum : std::max<std::size_t>({minimum, old * 2, 4}), kMax);
  std::size_t capacity;
  if (block == nullptr) {
    std::size_t usable;
    block = static_cast<ArrayBlock*>(arena->AllocateUsable(ArrayBytes(wanted), &usable));
    capacity = std::min((usable - kBlockHeader) / sizeof(Value), kMax);
    block->size = 0;
  } else {
    capacity = FillCapacity(wanted, sizeof(Value), kMax);
    block = static_cast<ArrayBlock*>(arena->Resize(block, ArrayBytes(old), ArrayBytes(capacity)));
  }
  block->capacity = static_cast<uint32_t>(capacity);
  payload_.block = block;
}

Value& Value::Element(std::size_t index) {
  MakeCollection();
  ArrayBlock* block = ValueTree::Array(*this);
  const std::size_t size = block != nullptr ? block->size : 0;
  if (index < size) return ElementsOf(block)[index];
  if (block == nullptr || index >= block->capacity) {
    if (index >= MaxCountFor(sizeof(Value))) throw std::bad_alloc();
    GrowElements(index + 1, false);
    block = ValueTree::Array(*this);
  }
  Value* elements = ElementsOf(block);
  for (std::size_t i = size; i <= index; ++i) {
    Value* element = ::new (static_cast<void*>(elements + i)) Value();
    element->InitChild(arena_);
  }
  block->size = static_cast<uint32_t>(index + 1);
  return elements[index];
}

Value& Value::AppendSlow() {
  MakeCollection();
  ArrayBlock* block = ValueTree::Array(*this);
  return Element(block != nullptr ? block->size : 0);
}

void Value::Reserve(std::size_t count) {
  if (kind_ != ValueKind::Collection) return;
  ArrayBlock* block = ValueTree::Array(*this);
  if (block == nullptr || count > block->capacity) GrowElements(count, true);
}

void Value::GrowMembers(std::size_t minimum, bool exact) {
  constexpr std::size_t kMax = MaxCountFor(sizeof(ValueMember));
  if (minimum > kMax) throw std::bad_alloc();
  ValueArena* arena = EnsureArena();
  MapBlock* block = ValueTree::Map(*this);
  const std::size_t old = block != nullptr ? block->capacity : 0;
  // Small at first (a one-member result fits an inline page), then straight
  // to the size of a typical record, then doubling.
  const std::size_t next = old == 0 ? 2 : (old < 8 ? 8 : old * 2);
  const std::size_t wanted = std::min(exact ? minimum : std::max(minimum, next), kMax);
  std::size_t capacity;
  if (block == nullptr) {
    std::size_t usable;
    block = static_cast<MapBlock*>(arena->AllocateUsable(MapBytes(wanted), &usable));
    capacity = std::min((usable - kBlockHeader) / sizeof(ValueMember), kMax);
    block->size = 0;
    block->unsorted = 0;
  } else {
    capacity = FillCapacity(wanted, sizeof(ValueMember), kMax);
    block = static_cast<MapBlock*>(arena->Resize(block, MapBytes(old), MapBytes(capacity)));
  }
  block->capacity = static_cast<uint32_t>(capacity);
  payload_.block = block;
}

Value& Value::InsertMember(const InternedString* key, std::size_t position) {
  MapBlock* block = ValueTree::Map(*this);
  if (block == nullptr || block->size == block->capacity) {
    GrowMembers((block != nullptr ? block->size : 0) + 1, false);
    block = ValueTree::Map(*this);
  }
  ValueMember* members = MembersOf(block);
  if (position < block->size) {
    std::memmove(static_cast<void*>(members + position + 1), static_cast<const void*>(members + position),
                 (block->size - position) * sizeof(ValueMember));
  }
  ValueMember* member = ::new (static_cast<void*>(members + position)) ValueMember();
  member->key_ = key;
  member->value_.InitChild(arena_);
  ++block->size;
  return member->value_;
}

Value& Value::Member(std::string_view key) {
  key = CutAtZero(key);
  if (kind_ != ValueKind::Structure) {
    // The key is interned before the old payload goes: it may be part of it.
    const InternedString* record = key.empty() ? &InternedString::Empty() : EnsureArena()->InternKey(key);
    ReleasePayload();
    kind_ = ValueKind::Structure;
    return InsertMember(record, 0);
  }
  std::size_t at = 0;
  if (MapBlock* block = ValueTree::Sorted(*this); block != nullptr) {
    bool found = false;
    at = ValueTree::LowerBound(block, key, &found);
    if (found) return MembersOf(block)[at].value_;
  }
  return InsertMember(key.empty() ? &InternedString::Empty() : EnsureArena()->InternKey(key), at);
}

Value& Value::AppendMember(std::string_view key) {
  if (kind_ != ValueKind::Structure) return Member(key);
  key = CutAtZero(key);
  const InternedString* record = key.empty() ? &InternedString::Empty() : EnsureArena()->InternKey(key);
  MapBlock* block = ValueTree::Map(*this);
  if (block != nullptr && block->size != 0 && !block->unsorted &&
      CompareKeys(MembersOf(block)[block->size - 1].key_, record) >= 0) {
    block->unsorted = 1;
  }
  return InsertMember(record, block != nullptr ? block->size : 0);
}

Value& Value::AppendMember(const InternedString* key) {
  const MapBlock* block = kind_ == ValueKind::Structure ? ValueTree::Map(*this) : nullptr;
  const bool ascending = block == nullptr || block->size == 0 || block->unsorted ||
                         CompareKeys(MembersOf(const_cast<MapBlock*>(block))[block->size - 1].key_, key) < 0;
  return AppendMember(key, ascending);
}

Value& Value::AppendMemberSlow(const InternedString* key, bool ascending) {
  ValueArena::Retain(key);  // before a reset that might drop the last other holder
  if (kind_ != ValueKind::Structure) {
    ReleasePayload();
    kind_ = ValueKind::Structure;
  }
  MapBlock* block = ValueTree::Map(*this);
  if (!ascending && block != nullptr && block->size != 0) block->unsorted = 1;
  return InsertMember(key, block != nullptr ? block->size : 0);
}

const InternedString* Value::InternKeySlow(std::string_view key) {
  key = CutAtZero(key);
  return key.empty() ? &InternedString::Empty() : EnsureArena()->InternKey(key);
}

void Value::ReleaseKey(const InternedString* key) {
  if (!key->IsEmpty()) arena_->Release(key);
}

void Value::ReserveMembers(std::size_t count) {
  if (kind_ != ValueKind::Structure) return;
  MapBlock* block = ValueTree::Map(*this);
  if (block == nullptr || count > block->capacity) GrowMembers(count, true);
}

const Value& Value::FindMember(std::string_view key) const {
  const Value* found = ValueTree::FindIn(*this, key);
  return found != nullptr ? *found : EmptyValue();
}

Value* Value::MemberIfPresent(std::string_view key) {
  FinishMembers();
  return ValueTree::FindIn(*this, key);
}

void Value::SortMembers() { ValueTree::Sorted(*this); }

bool Value::RemoveMember(std::string_view key) {
  if (kind_ != ValueKind::Structure) return false;
  MapBlock* block = ValueTree::Sorted(*this);
  if (block == nullptr) return false;
  bool found = false;
  const std::size_t at = ValueTree::LowerBound(block, CutAtZero(key), &found);
  if (!found) return false;
  ValueMember* members = MembersOf(block);
  arena_->Release(members[at].key_);
  ValueTree::Release(members[at].value_);
  std::memmove(static_cast<void*>(members + at), static_cast<const void*>(members + at + 1),
               (block->size - at - 1) * sizeof(ValueMember));
  --block->size;
  return true;
}

const Value& Value::At(std::size_t index) const {
  if (kind_ != ValueKind::Collection) return EmptyValue();
  ArrayBlock* block = ValueTree::Array(*this);
  return block != nullptr && index < block->size ? ElementsOf(block)[index] : EmptyValue();
}

std::size_t Value::Size() const {
  switch (kind_) {
    case ValueKind::Empty:
      return 0;
    case ValueKind::String:
      return payload_.s->Size();
    case ValueKind::Blob:
      return ValueTree::Blob(*this) != nullptr ? ValueTree::Blob(*this)->size : 0;
    case ValueKind::Collection:
      return ValueTree::Array(*this) != nullptr ? ValueTree::Array(*this)->size : 0;
    case ValueKind::Structure: {
      const MapBlock* block = ValueTree::Map(*this);
      return block != nullptr ? block->size : 0;
    }
    default:
      return 1;
  }
}

std::span<ValueMember> Value::Members() {
  MapBlock* block = kind_ == ValueKind::Structure ? ValueTree::Sorted(*this) : nullptr;
  return block != nullptr ? std::span<ValueMember>(MembersOf(block), block->size) : std::span<ValueMember>();
}

std::span<const uint8_t> Value::AsBlob(std::span<const uint8_t> fallback) const {
  if (kind_ != ValueKind::Blob) return fallback;
  BlobBlock* block = ValueTree::Blob(*this);
  return block != nullptr ? std::span<const uint8_t>(BytesOf(block), block->size) : std::span<const uint8_t>();
}

EnumValue Value::AsEnum(EnumValue fallback) const {
  if (kind_ != ValueKind::Enum) return fallback;
  const auto* record = static_cast<const EnumRecord*>(payload_.block);
  return EnumValue{record->number, record->type};
}

bool Value::operator==(const Value& other) const { return ValueTree::Equal(*this, other); }

const Value& Value::EmptyValue() {
  static const Value empty;
  return empty;
}

// ---------------------------------------------------------------------------
// ValueResult

void ValueResult::Fail(std::string_view message) {
  message = CutAtZero(message);
  ValueArena* arena = EnsureArena();
  // Both records are taken before the old payload goes: the message may be
  // part of it.
  const InternedString* text = message.empty() ? &InternedString::Empty() : arena->Intern(message);
  const InternedString* key = arena->InternKey("error");
  ReleasePayload();
  kind_ = ValueKind::Structure;
  Value& member = InsertMember(key, 0);
  member.kind_ = ValueKind::String;
  member.payload_.s = text;
  succeeded_ = false;
}

std::string_view ValueResult::ErrorMessage() const {
  if (succeeded_) return {};
  return FindMember("error").AsText({});
}

}  // namespace kiv::binding
