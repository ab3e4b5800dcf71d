#include "readers/member_names.h"

#include <span>
#include <utility>

namespace kiv::codecs::detail {

namespace {

// Whether `key` sorts after the key of the object's last member, in byte
// order (true when it has none).
bool Ascends(const binding::Value& object, const binding::InternedString* key) {
  const std::span<const binding::ValueMember> members = object.Members();
  if (members.empty()) return true;
  const binding::InternedString* last = &members.back().key();
  // Keys mostly differ in their first byte (every text is followed by a
  // zero, the empty one too).
  const auto x = static_cast<uint8_t>(last->CStr()[0]);
  const auto y = static_cast<uint8_t>(key->CStr()[0]);
  if (x != y) return x < y;
  return last->View() < key->View();
}

std::size_t Home(const binding::InternedString* key, std::size_t mask) {
  // Records lie at least 16 bytes apart: the multiply spreads the bits that differ.
  const auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
  return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

}  // namespace

void MemberNames::CloseUsed(const NameScope& scope) {
  keys_.resize(scope.start);
  if (scope.table >= 0) --tablesInUse_;
}

uint32_t MemberNames::AddToTable(Vector<uint32_t>& table, const NameScope& scope, uint32_t position) {
  const binding::InternedString* key = keys_[scope.start + position];
  const std::size_t mask = table.size() - 1;
  for (std::size_t i = Home(key, mask);; i = (i + 1) & mask) {
    if (table[i] == 0) {
      table[i] = position + 1;
      return kAdded;
    }
    if (keys_[scope.start + table[i] - 1] == key) return table[i] - 1;
  }
}

void MemberNames::StartTable(NameScope& scope) {
  if (tablesInUse_ == static_cast<int32_t>(tables_.size())) tables_.emplace_back();
  scope.table = tablesInUse_++;
  Vector<uint32_t>& table = tables_[static_cast<std::size_t>(scope.table)];
  std::size_t size = kScanLimit * 4;
  while (size < 2 * (std::size_t{scope.count} + 1)) size *= 2;
  table.assign(size, 0);
  for (uint32_t i = 0; i < scope.count; ++i) AddToTable(table, scope, i);
}

uint32_t MemberNames::AddSlow(NameScope& scope, const binding::InternedString* key) {
  if (scope.table < 0) {
    if (const uint32_t seen = Scan(scope, key); seen != kAdded) return seen;
    if (keys_.capacity() == 0) keys_.reserve(kScanLimit * 2);
    keys_.push_back(key);
    if (++scope.count <= kScanLimit) return kAdded;
    StartTable(scope);
    return kAdded;
  }
  Vector<uint32_t>& table = tables_[static_cast<std::size_t>(scope.table)];
  // The candidate is pushed first so the table can compare against it; a
  // repeat takes it off again.
  keys_.push_back(key);
  if ((std::size_t{scope.count} + 1) * 2 > table.size()) {
    // Grow at half load.
    table.assign(table.size() * 2, 0);
    for (uint32_t i = 0; i < scope.count; ++i) AddToTable(table, scope, i);
  }
  const uint32_t found = AddToTable(table, scope, scope.count);
  if (found != kAdded) {
    keys_.pop_back();
    return found;
  }
  ++scope.count;
  return kAdded;
}

uint32_t MemberNames::Find(const NameScope& scope, const binding::InternedString* key) const {
  if (scope.table < 0) return Scan(scope, key);
  const Vector<uint32_t>& table = tables_[static_cast<std::size_t>(scope.table)];
  const std::size_t mask = table.size() - 1;
  for (std::size_t i = Home(key, mask); table[i] != 0; i = (i + 1) & mask) {
    if (keys_[scope.start + table[i] - 1] == key) return table[i] - 1;
  }
  return kAdded;
}

ObjectKeys MemberKeys::Reopen(binding::Value& object, std::size_t depth) {
  ObjectKeys keys = Open(depth);
  keys.diverged = true;
  keys.reopened = true;
  Index(object, keys);
  keys.index = keys.names.count;
  return keys;
}

void MemberKeys::Index(const binding::Value& object, ObjectKeys& keys) {
  for (const binding::ValueMember& member : object.Members()) names_.Add(keys.names, &member.key());
  keys.indexed = true;
}

binding::Value* MemberKeys::AppendOther(binding::Value& object, ObjectKeys& keys, std::string_view name) {
  Shape& shape = shapes_[keys.depth];
  if (!keys.diverged) {
    // The keys so far followed the shape, and from here on the shape
    // follows this object instead.
    keys.diverged = true;
    keys.followed = keys.index;
    for (std::size_t i = keys.index; i < shape.keys.size(); ++i) root_.ReleaseKey(shape.keys[i]);
    shape.keys.resize(keys.index);
    if (shape.ascending > keys.index) shape.ascending = keys.index;
  }
  const binding::InternedString* key = object.InternKey(name);  // cut at a zero byte
  const bool ascending = Ascends(object, key);
  // Members so far that do not ascend are distinct (a shape's keys are), but
  // a name above the last may still be one of them.
  if (!keys.indexed && (!ascending || (!keys.unshaped && shape.ascending < keys.index))) Index(object, keys);
  if (keys.indexed) {
    const uint32_t repeated = names_.Add(keys.names, key);
    if (repeated != MemberNames::kAdded) {
      object.ReleaseKey(key);
      return &object.MemberAtPosition(repeated);
    }
  }
  ++keys.index;
  if (keys.unshaped) return &object.AdoptMember(key, ascending);
  if (keys.reopened) {
    // Members of the earlier object come first: the order is settled when
    // the object is finished. The shape is left to fresh objects.
    return &object.AdoptMember(key, false);
  }
  // The object's members are the shape's keys.
  if (ascending && shape.ascending == shape.keys.size()) ++shape.ascending;
  if (shape.keys.capacity() == 0) shape.keys.reserve(16);  // a record's worth at once
  shape.keys.push_back(key);                               // the shape keeps this count
  return &object.AppendMember(key, ascending);
}

binding::Value* MemberKeys::Find(binding::Value& object, const ObjectKeys& keys, std::string_view name) {
  if (!keys.diverged) {
    // Its members are the first keys of the shape, in order.
    name = name.substr(0, name.find('\0'));  // as keys are cut
    const Shape& shape = shapes_[keys.depth];
    for (uint32_t i = 0; i < keys.index; ++i) {
      if (shape.keys[i]->View() == name) return &object.MemberAtPosition(i);
    }
    return nullptr;
  }
  const binding::InternedString* key = object.InternKey(name);  // cut at a zero byte, as Append cuts
  uint32_t position = MemberNames::kAdded;
  if (keys.indexed) {
    position = names_.Find(keys.names, key);
  } else {
    const std::span<const binding::ValueMember> members = std::as_const(object).Members();
    for (std::size_t i = 0; i < members.size() && position == MemberNames::kAdded; ++i) {
      if (&members[i].key() == key) position = static_cast<uint32_t>(i);
    }
  }
  object.ReleaseKey(key);
  return position == MemberNames::kAdded ? nullptr : &object.MemberAtPosition(position);
}

void MemberKeys::Storage::Trim() {
  constexpr std::size_t kKeptDepths = 64, kKeptNames = 1024, kKeptTables = 2, kKeptSlots = 1024;
  if (shapes.size() > kKeptDepths) Vector<Shape>().swap(shapes);
  names.clear();
  if (names.capacity() > kKeptNames) Vector<const binding::InternedString*>().swap(names);
  bool large = tables.size() > kKeptTables;
  for (const Vector<uint32_t>& table : tables) large = large || table.capacity() > kKeptSlots;
  if (large) Vector<Vector<uint32_t>>().swap(tables);
}

void MemberKeys::Release() {
  for (uint32_t depth = 0; depth < depths_; ++depth) {
    Shape& shape = shapes_[depth];
    for (const binding::InternedString* key : shape.keys) root_.ReleaseKey(key);
    if (shape.keys.capacity() > kKeptKeys) {
      Vector<const binding::InternedString*>().swap(shape.keys);
    } else {
      shape.keys.clear();
    }
    shape.ascending = shape.misses = shape.skipped = 0;
    shape.unordered = false;
  }
  depths_ = 0;
}

}  // namespace kiv::codecs::detail
