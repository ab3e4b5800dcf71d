#include "codecs/member_names.h"

namespace kiv::codecs::detail {

namespace {

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

bool MemberNames::AddToTable(Vector<const binding::InternedString*>& table, const binding::InternedString* key) {
  const std::size_t mask = table.size() - 1;
  for (std::size_t i = Home(key, mask);; i = (i + 1) & mask) {
    if (table[i] == nullptr) {
      table[i] = key;
      return true;
    }
    if (table[i] == key) return false;
  }
}

void MemberNames::StartTable(NameScope& scope) {
  if (tablesInUse_ == static_cast<int32_t>(tables_.size())) tables_.emplace_back();
  scope.table = tablesInUse_++;
  Vector<const binding::InternedString*>& table = tables_[static_cast<std::size_t>(scope.table)];
  table.assign(kScanLimit * 4, nullptr);
  for (uint32_t i = 0; i < scope.count; ++i) AddToTable(table, keys_[scope.start + i]);
}

bool MemberNames::Add(NameScope& scope, const binding::InternedString* key) {
  if (scope.table < 0) {
    const binding::InternedString* const* seen = keys_.data() + scope.start;
    for (uint32_t i = 0; i < scope.count; ++i) {
      if (seen[i] == key) return false;
    }
    if (scope.count < kScanLimit) {
      if (keys_.capacity() == 0) keys_.reserve(kScanLimit * 2);
      keys_.push_back(key);
      ++scope.count;
      return true;
    }
    StartTable(scope);
  }
  Vector<const binding::InternedString*>& table = tables_[static_cast<std::size_t>(scope.table)];
  if ((scope.count + 1) * 2 > table.size()) {
    // Grow at half load.
    Vector<const binding::InternedString*> old;
    old.swap(table);
    table.assign(old.size() * 2, nullptr);
    for (const binding::InternedString* held : old) {
      if (held != nullptr) AddToTable(table, held);
    }
  }
  if (!AddToTable(table, key)) return false;
  ++scope.count;
  return true;
}

binding::Value* MemberKeys::AppendOther(binding::Value& object, ObjectKeys& keys, std::string_view name) {
  Shape& shape = shapes_[keys.depth];
  if (!keys.diverged) {
    // The keys so far followed the shape: they are distinct, and from here
    // on the shape follows this object instead.
    keys.diverged = true;
    for (uint32_t i = 0; i < keys.index; ++i) names_.Add(keys.names, shape.keys[i]);
    for (std::size_t i = keys.index; i < shape.keys.size(); ++i) root_.ReleaseKey(shape.keys[i]);
    shape.keys.resize(keys.index);
    if (shape.ascending > keys.index) shape.ascending = keys.index;
  }
  const binding::InternedString* key = object.InternKey(name);  // cut at a zero byte; the shape keeps this count
  if (!names_.Add(keys.names, key)) {
    object.ReleaseKey(key);
    return nullptr;
  }
  // The object's members are the shape's keys: it stays in order while they ascend.
  const bool ascending =
      shape.ascending == shape.keys.size() && (shape.keys.empty() || shape.keys.back()->View() < key->View());
  if (ascending) ++shape.ascending;
  if (shape.keys.capacity() == 0) shape.keys.reserve(16);  // a record's worth at once
  shape.keys.push_back(key);
  ++keys.index;
  return &object.AppendMember(key, ascending);
}

void MemberKeys::Release() {
  for (Shape& shape : shapes_) {
    for (const binding::InternedString* key : shape.keys) root_.ReleaseKey(key);
    shape.keys.clear();
    shape.ascending = 0;
  }
}

}  // namespace kiv::codecs::detail
