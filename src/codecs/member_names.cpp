#include "codecs/member_names.h"

namespace kiv::codecs::detail {

namespace {

// Slots of a table hold the hash with its low bit forced on, so that 0 can
// mark a free slot; two hashes that differ only there count as one, which
// merely sends such a name to the exact lookup. Probing starts from the other
// bits, so a slot value can be inserted again as it is when the table grows.
constexpr uint64_t Slot(uint64_t hash) { return hash | 1u; }

}  // namespace

uint64_t MemberNames::Hash(std::string_view name) {
  // Member names are short and this runs for every member of every
  // document: whole words only, the last one overlapping the one before, and
  // small names read as two overlapping halves.
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t n = name.size();
  // The length is mixed in first: names of different lengths must not cancel
  // out through the bits their last word shares with the length.
  uint64_t h = (0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(n)) * 0xFF51AFD7ED558CCDull;
  h ^= h >> 32;
  if (n >= 8) {
    uint64_t word;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&word, p + i, 8);
      h = (h ^ word) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    std::memcpy(&word, p + n - 8, 8);
    h ^= word;
  } else if (n >= 4) {
    uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    h ^= (static_cast<uint64_t>(high) << 32) | low;
  } else if (n != 0) {
    h ^= (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[n / 2]) << 8) | p[n - 1];
  }
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 29;
  h *= 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 32);
}

void MemberNames::CloseUsed(const NameScope& scope) {
  hashes_.resize(scope.start);
  if (scope.table >= 0) --tablesInUse_;
}

bool MemberNames::AddToTable(Vector<uint64_t>& table, uint64_t hash) {
  const std::size_t mask = table.size() - 1;
  const uint64_t slot = Slot(hash);
  for (std::size_t i = static_cast<std::size_t>(slot >> 1) & mask;; i = (i + 1) & mask) {
    if (table[i] == 0) {
      table[i] = slot;
      return true;
    }
    if (table[i] == slot) return false;
  }
}

void MemberNames::StartTable(NameScope& scope) {
  if (tablesInUse_ == static_cast<int32_t>(tables_.size())) tables_.emplace_back();
  scope.table = tablesInUse_++;
  Vector<uint64_t>& table = tables_[static_cast<std::size_t>(scope.table)];
  table.assign(kScanLimit * 4, 0);
  for (uint32_t i = 0; i < scope.count; ++i) AddToTable(table, hashes_[scope.start + i]);
}

bool MemberNames::Add(NameScope& scope, std::string_view name) {
  const uint64_t hash = Hash(name);
  if (scope.table < 0) {
    const uint64_t* seen = hashes_.data() + scope.start;
    for (uint32_t i = 0; i < scope.count; ++i) {
      if (seen[i] == hash) return false;
    }
    if (scope.count < kScanLimit) {
      hashes_.push_back(hash);
      ++scope.count;
      return true;
    }
    StartTable(scope);
  }
  Vector<uint64_t>& table = tables_[static_cast<std::size_t>(scope.table)];
  if ((scope.count + 1) * 2 > table.size()) {
    // Grow at half load; the old slots already carry their forced bit.
    Vector<uint64_t> old;
    old.swap(table);
    table.assign(old.size() * 2, 0);
    for (uint64_t slot : old) {
      if (slot != 0) AddToTable(table, slot);
    }
  }
  if (!AddToTable(table, hash)) return false;
  ++scope.count;
  return true;
}

binding::Value* MemberKeys::AppendOther(binding::Value& object, ObjectKeys& keys, std::string_view name) {
  Shape& shape = shapes_[keys.depth];
  if (!keys.diverged) {
    // The keys so far followed the shape: they are distinct, and from here
    // on the shape follows this object instead.
    keys.diverged = true;
    for (uint32_t i = 0; i < keys.index; ++i) names_.Add(keys.names, shape.keys[i]->View());
    for (std::size_t i = keys.index; i < shape.keys.size(); ++i) root_.ReleaseKey(shape.keys[i]);
    shape.keys.resize(keys.index);
    if (shape.ascending > keys.index) shape.ascending = keys.index;
  }
  name = CutAtZero(name);
  if (!names_.Add(keys.names, name)) return nullptr;
  const binding::InternedString* key = object.InternKey(name);  // the shape keeps this count
  // The object's members are the shape's keys: it stays in order while they ascend.
  const bool ascending =
      shape.ascending == shape.keys.size() && (shape.keys.empty() || shape.keys.back()->View() < key->View());
  if (ascending) ++shape.ascending;
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
