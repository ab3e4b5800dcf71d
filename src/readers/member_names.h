// Member names while a reader builds a structure.
//
// Readers append members without looking them up (Value::AppendMember), which
// keeps building linear in the size of an object. Appending is only right for
// a name that is new in its object: a repeated name has to reach the member
// that already exists, because its later value may merge into the earlier
// one. Keys are the tree's interned records, one record per text, so this
// index of each open object's key records tells a repeat exactly, and where
// the earlier member lies: an open object is never reordered, so its members
// stay in the order their names were first seen. While an object's names
// come in strictly ascending order (as writers that sort their keys write
// them, this library's among them), a name above the last cannot repeat, and
// the object needs no index until a name breaks the order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "logging/memory.h"
#include "value/value.h"

namespace kiv::codecs::detail {

// The keys of one open object: where they start in the shared stack, how
// many there are, and the hash table it uses once it has many.
struct NameScope {
  uint32_t start = 0;
  uint32_t count = 0;
  int32_t table = -1;
};

class MemberNames {
 public:
  // Scopes nest: the last one opened is the first one closed.
  NameScope Open() { return NameScope{static_cast<uint32_t>(keys_.size()), 0, -1}; }
  void Close(const NameScope& scope) {
    if (scope.count != 0 || scope.table >= 0) CloseUsed(scope);
  }

  static constexpr uint32_t kAdded = UINT32_MAX;

  // Records the key record as the scope's next name: kAdded when the scope
  // did not hold it, else the position (in order of first sight) of the
  // name it repeats.
  uint32_t Add(NameScope& scope, const binding::InternedString* key) {
    // Most objects have a few members: a scan of their names, inline.
    if (scope.table < 0 && scope.count < kScanLimit && keys_.size() < keys_.capacity()) {
      if (const uint32_t seen = Scan(scope, key); seen != kAdded) return seen;
      keys_.push_back(key);
      ++scope.count;
      return kAdded;
    }
    return AddSlow(scope, key);
  }
  // The position of `key` in the scope, or kAdded when it holds no such name.
  [[nodiscard]] uint32_t Find(const NameScope& scope, const binding::InternedString* key) const;

  // Swaps the storage of the index with `keys` and `tables`, left empty of
  // names: how a builder hands it on to the next document.
  void Exchange(Vector<const binding::InternedString*>& keys, Vector<Vector<uint32_t>>& tables) {
    keys_.clear();
    keys_.swap(keys);
    tables_.swap(tables);
    tablesInUse_ = 0;
  }

 private:
  // Below this many keys a scan of the scope's records is cheapest.
  static constexpr uint32_t kScanLimit = 16;

  // The position of `key` among the names of a scope without a table, or kAdded.
  uint32_t Scan(const NameScope& scope, const binding::InternedString* key) const {
    const binding::InternedString* const* seen = keys_.data() + scope.start;
    for (uint32_t i = 0; i < scope.count; ++i) {
      if (seen[i] == key) return i;
    }
    return kAdded;
  }
  uint32_t AddSlow(NameScope& scope, const binding::InternedString* key);
  void CloseUsed(const NameScope& scope);
  // Positions + 1 in an open-addressed table; 0 is free.
  uint32_t AddToTable(Vector<uint32_t>& table, const NameScope& scope, uint32_t position);
  void StartTable(NameScope& scope);

  Vector<const binding::InternedString*> keys_;
  // Tables of the scopes that outgrew a scan; they are reused by later
  // scopes, so a document of many large objects allocates them once.
  Vector<Vector<uint32_t>> tables_;
  int32_t tablesInUse_ = 0;
};

// The keys of one open object, for MemberKeys.
struct ObjectKeys {
  uint32_t depth = 0;     // nesting depth: which remembered key sequence it follows
  uint32_t index = 0;     // keys appended so far
  bool diverged = false;  // its keys left the remembered sequence
  bool reopened = false;  // an earlier object under a repeated name, receiving more members
  bool unshaped = false;  // its depth stopped remembering shapes
  bool indexed = false;   // the name index holds its keys; until then they ascend strictly
  uint32_t followed = 0;  // keys that followed the remembered sequence before it diverged
  NameScope names;
};

// Appending members with their key records found once per shape of object.
//
// Documents repeat the shape of their objects: the records of an array tend
// to name the same members in the same order. For each depth this keeps the
// key records of the last object read there (counted, so they stay alive).
// While an object names its members in that order, each key is the record
// already held, and no name can repeat, since the remembered keys are
// distinct: the member is appended at the cost of comparing one text. At the
// first name that differs the object falls back to the name index, fed with
// the keys so far once its names stop ascending, and the remembered sequence
// becomes this object's keys.
// The sequence also knows how far its keys ascend, so members appended
// along it need no comparison to keep their structure's order known.
class MemberKeys {
 public:
  // `root` is the tree the records belong to. Release() must run before the
  // root is moved from or destroyed; the destructor calls it too.
  explicit MemberKeys(binding::Value& root) : root_(root) {}
  ~MemberKeys() { Release(); }
  MemberKeys(const MemberKeys&) = delete;
  MemberKeys& operator=(const MemberKeys&) = delete;

  ObjectKeys Open(std::size_t depth) {
    ObjectKeys keys;
    keys.depth = static_cast<uint32_t>(depth);
    keys.names = names_.Open();
    if (depth >= depths_) {
      if (depth >= shapes_.size()) shapes_.resize(depth < 8 ? 8 : depth + 1);
      depths_ = static_cast<uint32_t>(depth + 1);
    }
    Shape& shape = shapes_[depth];
    if (shape.misses >= kMissLimit && ++shape.skipped != kRetryEvery) {
      keys.diverged = true;
      keys.unshaped = true;
      // Names that came in no order last time will again: indexed from the
      // first, the object is built as if order were never looked for.
      keys.indexed = shape.unordered;
    } else {
      shape.skipped = 0;
    }
    return keys;
  }
  // An object that already has members (finished, in key order) and takes
  // more: a later object under a repeated name merges into it. Its names
  // enter the index at once; the count of them is the work it cost.
  ObjectKeys Reopen(binding::Value& object, std::size_t depth);
  // `unordered` tells whether the object's names did not all ascend.
  void Close(const ObjectKeys& keys, bool unordered) {
    names_.Close(keys.names);
    if (keys.reopened || keys.index == 0) return;
    Shape& shape = shapes_[keys.depth];
    shape.unordered = unordered;
    if (keys.unshaped) return;
    const bool missed = keys.diverged && keys.followed == 0;
    shape.misses = missed ? shape.misses + 1 : 0;
  }

  // The member named `name` of `object` (a Structure of the root's tree,
  // opened through Open or Reopen): the one already there when the name
  // repeats, else a new one appended.
  binding::Value* Append(binding::Value& object, ObjectKeys& keys, std::string_view name) {
    if (!keys.diverged) {
      const Shape& shape = shapes_[keys.depth];
      if (keys.index < shape.keys.size()) {
        const binding::InternedString* key = shape.keys[keys.index];
        if (key->Size() == name.size() && binding::ValueArena::SameText(key->CStr(), name.data(), name.size())) {
          return &object.AppendMember(key, keys.index++ < shape.ascending);
        }
      }
    }
    return AppendOther(object, keys, name);
  }

  // The member named `name` of an open object, or null: a look-up that adds
  // nothing (a YAML alias resolving a path through an open mapping).
  binding::Value* Find(binding::Value& object, const ObjectKeys& keys, std::string_view name);

  // Gives back the counts held on remembered keys, and leaves every depth's
  // shape empty, its heuristics reset, for the next document.
  void Release();

 private:
  struct Shape;

 public:
  // The storage of the shapes and of the name index, kept between documents
  // (see TreeBuilder); its shapes are empty (see Release).
  struct Storage {
    Vector<Shape> shapes;
    Vector<const binding::InternedString*> names;
    Vector<Vector<uint32_t>> tables;
    // Frees what is larger than a document of ordinary size needs.
    void Trim();
  };
  // After Release: swaps this reader's storage with `storage`.
  void Exchange(Storage& storage) {
    shapes_.swap(storage.shapes);
    names_.Exchange(storage.names, storage.tables);
  }

 private:
  binding::Value* AppendOther(binding::Value& object, ObjectKeys& keys, std::string_view name);
  // Enters the keys of the object's members into the name index, for an
  // object whose next name does not ascend.
  void Index(const binding::Value& object, ObjectKeys& keys);

  // The keys of the last object read at one depth, in their order.
  struct Shape {
    Vector<const binding::InternedString*> keys;
    uint32_t ascending = 0;  // how many leading keys are in strictly ascending order
    uint32_t misses = 0;     // objects in a row whose first key was not the remembered one
    uint32_t skipped = 0;    // objects opened without the shape since it was last tried
    bool unordered = false;  // the names of the last object closed here did not all ascend
  };
  // Objects whose keys follow no common order (maps of ids, records of
  // random fields) would only replace the shape key by key. After this many
  // in a row miss at their first key, the depth goes without a shape, and
  // tries it again once every kRetryEvery objects.
  static constexpr uint32_t kMissLimit = 8;
  static constexpr uint32_t kRetryEvery = 32;

  binding::Value& root_;
  Vector<Shape> shapes_;                        // by depth
  uint32_t depths_ = 0;                         // the depths opened since the last Release: the shapes it has to empty
  static constexpr std::size_t kKeptKeys = 32;  // a shape keeps room for this many keys between documents
  MemberNames names_;
};

}  // namespace kiv::codecs::detail
