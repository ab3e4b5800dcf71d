// The dynamic value: the one form in which bodies, arguments, results, event
// payloads and help records travel before they become native data or bytes.
//
// A value constructed on its own is a root ("owner"). Elements of a
// Collection and members of a Structure live inside their parent, share the
// root's ValueArena and are reached only by reference. References to
// elements and members stay valid until their container is changed in shape
// (elements or members added or removed) or reset, like references into a
// growable array. So create the target before taking the source:
//
//   Value& copy = root.Member("copy");   // may move root's members
//   copy = root.FindMember("list");      // not: root.Member("copy") = root.FindMember("list")
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>

#include "logging/memory.h"
#include "value/arena.h"

namespace kiv::codecs {
class TreeBuilder;
namespace detail {
class MemberKeys;
}
}  // namespace kiv::codecs

namespace kiv::binding {

struct TypeId;  // types.h
class ValueMember;

// Container storage is one arena block: a small header followed by the
// elements, members or bytes. Values hold no pointer to themselves, so the
// storage may be moved with memcpy when it grows.
namespace value_detail {
struct ArrayBlock {
  uint32_t size;
  uint32_t capacity;
};
struct MapBlock {
  uint32_t size;
  uint32_t capacity : 31;
  uint32_t unsorted : 1;  // members appended out of order since the last sort
};
inline constexpr std::size_t kBlockHeader = 8;
}  // namespace value_detail

enum class ValueKind : uint8_t {
  Empty = 0,
  Bool = 1,
  Signed = 2,
  Unsigned = 3,
  Float = 4,
  String = 5,
  Blob = 6,
  Enum = 7,
  Collection = 8,
  Structure = 9,
};

// The word conversion messages print for a kind: "empty", "bool", ...,
// "structure"; the empty text for a code above 9.
const char* ValueKindName(ValueKind kind);
inline const char* ValueKindName(uint8_t code) { return ValueKindName(static_cast<ValueKind>(code)); }

// An enum value: its number and the identity of its enumeration.
struct EnumValue {
  int32_t number = 0;
  const TypeId* type = nullptr;
};

class Value {
 public:
  Value() noexcept : arena_(nullptr), kind_(ValueKind::Empty), owner_(1) { payload_.bits = 0; }
  ~Value();
  // Deep copy into a new tree.
  Value(const Value& other);
  // Takes the content of a root cheaply; an element or member is copied and
  // then reset, which allocates: moves may throw std::bad_alloc, so they are
  // not noexcept. The source is Empty afterwards.
  Value(Value&& other);
  Value& operator=(const Value& other) {
    CopyFrom(other);
    return *this;
  }
  Value& operator=(Value&& other) {
    MoveFrom(other);
    return *this;
  }

  // Deep copy: strings are interned again in this value's arena, collections
  // copied element by element, structures member by member. Safe when the
  // source lies inside this value or this value inside the source.
  void CopyFrom(const Value& source);
  // Between two roots: exchange, then reset the source. Otherwise the content
  // moves over (copied when the trees differ) and the source is reset.
  void MoveFrom(Value& source);

  // Releases the payload; the value becomes Empty and keeps its arena.
  void Reset();

  ValueKind Kind() const { return kind_; }
  bool IsEmpty() const { return kind_ == ValueKind::Empty; }
  bool IsBool() const { return kind_ == ValueKind::Bool; }
  bool IsString() const { return kind_ == ValueKind::String; }
  bool IsCollection() const { return kind_ == ValueKind::Collection; }
  bool IsStructure() const { return kind_ == ValueKind::Structure; }
  // True for a value constructed on its own, false for elements and members.
  bool IsOwner() const { return owner_ != 0; }
  // The arena of the tree; null until the tree first needs one.
  const ValueArena* Arena() const { return arena_; }

  // Setters: each replaces the previous payload.
  void SetBool(bool value) {
    if (kind_ >= ValueKind::String) Reset();
    payload_.bits = 0;
    payload_.b = value;
    kind_ = ValueKind::Bool;
  }
  void SetSigned(int64_t value) {
    if (kind_ >= ValueKind::String) Reset();
    payload_.i = value;
    kind_ = ValueKind::Signed;
  }
  void SetUnsigned(uint64_t value) {
    if (kind_ >= ValueKind::String) Reset();
    payload_.u = value;
    kind_ = ValueKind::Unsigned;
  }
  void SetFloat(double value) {
    if (kind_ >= ValueKind::String) Reset();
    payload_.f = value;
    kind_ = ValueKind::Float;
  }
  // Texts are kept up to their first zero byte; a null or empty text gives
  // the shared empty string and needs no arena. Texts of
  // ValueArena::kSharedTextLimit bytes or more get a record of their own
  // instead of the tree's shared one, and so may shorter ones in a tree of
  // many texts (see InternedString).
  void SetString(const char* text);
  void SetString(std::string_view text);
  void SetBlob(const void* data, std::size_t size);
  void SetBlob(std::span<const uint8_t> bytes) { SetBlob(bytes.data(), bytes.size()); }
  // Takes the bytes over; `bytes` is left empty.
  void TakeBlob(Vector<uint8_t>& bytes);
  // Appends bytes to a Blob (a value of another kind becomes an empty Blob first).
  void AppendBlob(const void* data, std::size_t size);
  void SetEnum(int32_t number, const TypeId* type);
  void SetEnum(EnumValue value) { SetEnum(value.number, value.type); }

  // Shape. A value of another kind is reset first.
  void MakeCollection() { BecomeContainer(ValueKind::Collection); }
  void MakeStructure() { BecomeContainer(ValueKind::Structure); }
  // Element `index`, appending Empty elements up to and including it.
  Value& Element(std::size_t index);
  // A new Empty element at the end.
  Value& Append() {
    auto* block = static_cast<value_detail::ArrayBlock*>(payload_.block);
    if (kind_ == ValueKind::Collection && block != nullptr && block->size < block->capacity) {
      void* place = reinterpret_cast<Value*>(reinterpret_cast<char*>(block) + value_detail::kBlockHeader) + block->size;
      Value* element = ::new (place) Value();
      ++block->size;
      element->InitChild(arena_);
      return *element;
    }
    return AppendSlow();
  }
  // Room for `count` elements; only on a Collection.
  void Reserve(std::size_t count);
  // The member under `key` (cut at its first zero byte), inserted Empty when absent.
  Value& Member(std::string_view key);
  // Building fast path: appends a member without looking for an existing
  // one, which leaves the structure unfinished. FinishMembers() puts it back
  // in key order, the last of equal keys kept, so that it is as if every
  // member had been assigned through Member(); the non-const accessors
  // (Member, MemberIfPresent, RemoveMember, Members) finish it on the way.
  // Const reads never change a value, so that any number of threads may
  // read one finished tree: on an unfinished structure they see the members
  // in the order appended and FindMember takes the last of equal keys. Finish
  // what you build before you share it. Finishing moves members: the
  // reference returned is good until the structure is finished or grown.
  Value& AppendMember(std::string_view key);
  // The same with a key record of this tree (from InternKey, or the key of
  // one of its members), which the new member counts for itself.
  Value& AppendMember(const InternedString* key);
  // For readers that know the order of their keys: `ascending` promises that
  // the key sorts after every key already in the structure, which then needs
  // no comparison; false marks the structure for sorting at its next read.
  Value& AppendMember(const InternedString* key, bool ascending);
  // Keys interned once for many members: the record of `key` (cut at its
  // first zero byte) in this tree, counted for the caller, who gives the
  // count back with ReleaseKey on a value of the same tree.
  [[gnu::always_inline]] const InternedString* InternKey(std::string_view key) {
    // A reader interns every key it meets, and most are names the tree
    // already holds: the cache is asked first, inline.
    if (arena_ != nullptr && !key.empty() && key.size() < ValueArena::kSharedTextLimit) {
      InternedString** place;
      if (const InternedString* known = arena_->FindKey(key, &place)) return known;
      if (!ValueArena::HasZeroByte(key.data(), key.size())) return arena_->InternKeyMissed(place, key);
    }
    return InternKeySlow(key);
  }
  void ReleaseKey(const InternedString* key);
  // AppendMember(key, ascending) taking over the caller's count of `key`
  // (from InternKey) instead of adding one.
  Value& AdoptMember(const InternedString* key, bool ascending);
  // Room for `count` members; only on a Structure.
  void ReserveMembers(std::size_t count);
  // Puts the members of a structure built with AppendMember in key order;
  // of equal keys the last appended stays. Does nothing on other values.
  void FinishMembers() {
    if (IsUnfinished()) SortMembers();
  }
  // True for a structure with members appended out of order since it was
  // last finished.
  bool IsUnfinished() const {
    return kind_ == ValueKind::Structure && payload_.block != nullptr &&
           static_cast<const value_detail::MapBlock*>(payload_.block)->unsorted != 0;
  }
  // The member under `key`, or the shared read-only Empty value when this is
  // no Structure or the key is absent. Never inserts.
  const Value& FindMember(std::string_view key) const;
  // The member under `key`, or null; never inserts.
  Value* MemberIfPresent(std::string_view key);
  // Removes the member under `key`; false when absent.
  bool RemoveMember(std::string_view key);
  // Element `index`, or the shared Empty value when absent.
  const Value& At(std::size_t index) const;

  // Empty 0; String bytes; Blob bytes; Collection elements; Structure
  // members; every other kind 1.
  std::size_t Size() const;

  // The elements of a Collection (none for other kinds).
  std::span<Value> Elements();
  std::span<const Value> Elements() const;
  // The members of a Structure in byte order of their keys.
  std::span<ValueMember> Members();
  std::span<const ValueMember> Members() const;

  // Typed reads: the default when the kind is not the one asked for.
  bool AsBool(bool fallback = false) const { return kind_ == ValueKind::Bool ? payload_.b : fallback; }
  int64_t AsSigned(int64_t fallback = 0) const { return kind_ == ValueKind::Signed ? payload_.i : fallback; }
  uint64_t AsUnsigned(uint64_t fallback = 0) const { return kind_ == ValueKind::Unsigned ? payload_.u : fallback; }
  double AsFloat(double fallback = 0.0) const { return kind_ == ValueKind::Float ? payload_.f : fallback; }
  const InternedString* AsString(const InternedString* fallback = nullptr) const {
    return kind_ == ValueKind::String ? payload_.s : fallback;
  }
  std::string_view AsText(std::string_view fallback = {}) const {
    return kind_ == ValueKind::String ? payload_.s->View() : fallback;
  }
  std::span<const uint8_t> AsBlob(std::span<const uint8_t> fallback = {}) const;
  EnumValue AsEnum(EnumValue fallback = {}) const;

  // Deep equality: same kind, same payload; texts and keys by content.
  bool operator==(const Value& other) const;

  // The process-wide read-only Empty value.
  static const Value& EmptyValue();

 protected:
  union Payload {
    bool b;
    int64_t i;
    uint64_t u;
    double f;
    const InternedString* s;
    void* block;  // blob, enum, collection and structure storage
    uint64_t bits;
  };

  // Creates the arena of a root on demand; elements always have their parent's.
  ValueArena* EnsureArena() { return arena_ != nullptr ? arena_ : CreateArena(); }
  // Frees the payload record by record, leaving every other record of the
  // arena alone; then Empty.
  void ReleasePayload();

 private:
  friend class ValueMember;
  friend class ValueResult;
  friend struct ValueTree;
  friend class codecs::TreeBuilder;
  friend class codecs::detail::MemberKeys;

  // Member `position` in the order the members lie, finished or not; for
  // builders that index the structure they are filling.
  Value& MemberAtPosition(std::size_t position);

  // Empty element or member living inside a container of `arena`.
  void InitChild(ValueArena* arena) {
    payload_.bits = 0;
    arena_ = arena;
    kind_ = ValueKind::Empty;
    owner_ = 0;
  }
  ValueArena* CreateArena();
  void BecomeContainer(ValueKind kind) {
    if (kind_ == kind) return;
    if (kind_ >= ValueKind::String) Reset();
    payload_.bits = 0;
    kind_ = kind;
  }
  // Inserts a member with a counted key at `position` of the member array.
  Value& InsertMember(const InternedString* key, std::size_t position);
  // The member appended where the structure has room for it (the key not
  // counted), else null.
  Value* AppendInPlace(const InternedString* key, bool ascending);
  Value& AppendMemberSlow(const InternedString* key, bool ascending);
  const InternedString* InternKeySlow(std::string_view key);
  void SortMembers();
  Value& AppendSlow();
  void GrowElements(std::size_t minimum, bool exact);
  void GrowMembers(std::size_t minimum, bool exact);

  Payload payload_;
  ValueArena* arena_;
  ValueKind kind_;
  uint8_t owner_;
};

static_assert(sizeof(void*) != 4 || sizeof(Value) == 16, "a value is 16 bytes on 32-bit targets");

// A member of a Structure: its interned key and its value.
class ValueMember {
 public:
  ValueMember(const ValueMember&) = delete;
  ValueMember& operator=(const ValueMember&) = delete;

  const InternedString& key() const { return *key_; }
  std::string_view name() const { return key_->View(); }
  Value& value() { return value_; }
  const Value& value() const { return value_; }

 private:
  friend class Value;
  friend struct ValueTree;
  ValueMember() = default;
  const InternedString* key_;
  Value value_;
};

// Walks of a tree (writing records, measuring, comparing) ask every
// container for these: inline, they cost a load or two.
inline std::span<Value> Value::Elements() {
  auto* block = kind_ == ValueKind::Collection ? static_cast<value_detail::ArrayBlock*>(payload_.block) : nullptr;
  if (block == nullptr) return {};
  return {reinterpret_cast<Value*>(reinterpret_cast<char*>(block) + value_detail::kBlockHeader), block->size};
}

inline std::span<const Value> Value::Elements() const { return const_cast<Value*>(this)->Elements(); }

inline std::span<const ValueMember> Value::Members() const {
  auto* block = kind_ == ValueKind::Structure ? static_cast<value_detail::MapBlock*>(payload_.block) : nullptr;
  if (block == nullptr) return {};
  return {reinterpret_cast<const ValueMember*>(reinterpret_cast<const char*>(block) + value_detail::kBlockHeader),
          block->size};
}

inline Value& Value::MemberAtPosition(std::size_t position) {
  auto* block = static_cast<value_detail::MapBlock*>(payload_.block);
  return reinterpret_cast<ValueMember*>(reinterpret_cast<char*>(block) + value_detail::kBlockHeader)[position].value_;
}

inline Value* Value::AppendInPlace(const InternedString* key, bool ascending) {
  auto* block = static_cast<value_detail::MapBlock*>(payload_.block);
  if (kind_ != ValueKind::Structure || block == nullptr || block->size == block->capacity) return nullptr;
  if (!ascending && block->size != 0) block->unsorted = 1;
  void* place =
      reinterpret_cast<ValueMember*>(reinterpret_cast<char*>(block) + value_detail::kBlockHeader) + block->size;
  ValueMember* member = ::new (place) ValueMember();
  ++block->size;
  member->key_ = key;
  member->value_.InitChild(arena_);
  return &member->value_;
}

inline Value& Value::AppendMember(const InternedString* key, bool ascending) {
  if (Value* member = AppendInPlace(key, ascending)) {
    ValueArena::Retain(key);
    return *member;
  }
  return AppendMemberSlow(key, ascending);
}

inline Value& Value::AdoptMember(const InternedString* key, bool ascending) {
  if (Value* member = AppendInPlace(key, ascending)) return *member;
  Value& member = AppendMemberSlow(key, ascending);
  ValueArena::Unretain(key);  // the member holds the count the slow path added
  return member;
}

// A value with a success flag: the outcome of conversions, readers and
// bound-function calls. Once failed, later steps on it are expected to do
// nothing; the caller checks Succeeded() once.
class [[nodiscard]] ValueResult : public Value {
 public:
  ValueResult() noexcept = default;
  ValueResult(const ValueResult& other) : Value(other), succeeded_(other.succeeded_) {}
  ValueResult(ValueResult&& other) : Value(static_cast<Value&&>(other)), succeeded_(other.succeeded_) {
    other.succeeded_ = true;
  }
  ValueResult& operator=(const ValueResult& other) {
    CopyFrom(other);
    succeeded_ = other.succeeded_;
    return *this;
  }
  ValueResult& operator=(ValueResult&& other) {
    if (&other != this) {
      MoveFrom(other);
      succeeded_ = other.succeeded_;
      other.succeeded_ = true;
    }
    return *this;
  }
  using Value::operator=;

  // Becomes a Structure whose only member "error" is a String holding the
  // message, and clears the success flag. The message may point into this
  // result itself.
  void Fail(std::string_view message);
  bool Succeeded() const { return succeeded_; }
  // The empty text while succeeded; otherwise the "error" member's text, or
  // the empty text when that member is no String.
  std::string_view ErrorMessage() const;
  // Empty and succeeded again, as a fresh result.
  void Clear() {
    Reset();
    succeeded_ = true;
  }

 private:
  bool succeeded_ = true;
};

}  // namespace kiv::binding
