// The representation of a tree below Value's interface: the blocks behind
// containers, blobs and enumerators, and the record-level algorithms that
// release, copy, order, search and compare trees without recursion.
// Private to value.cpp, which alone includes it.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "value/value.h"

namespace kiv::binding {

using value_detail::ArrayBlock;
using value_detail::kBlockHeader;
using value_detail::MapBlock;

struct BlobBlock {
  uint32_t size;
  uint32_t capacity;
};
struct EnumRecord {
  int32_t number;
  const TypeId* type;
};

namespace {

static_assert(sizeof(ArrayBlock) == kBlockHeader && sizeof(MapBlock) == kBlockHeader &&
              sizeof(BlobBlock) == kBlockHeader);
static_assert(alignof(Value) <= kBlockHeader && alignof(ValueMember) <= kBlockHeader);

constexpr std::size_t kMaxCount = 0x7FFFFFFF;

constexpr std::size_t MaxCountFor(std::size_t itemSize) {
  return std::min(kMaxCount, (SIZE_MAX - kBlockHeader - 64) / itemSize);
}

std::string_view CutAtZeroSearching(std::string_view text) {
  if (text.empty()) return text;
  const void* zero = std::memchr(text.data(), 0, text.size());
  return zero == nullptr ? text
                         : text.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - text.data()));
}

inline std::string_view CutAtZero(std::string_view text) {
  // Keys are short: a look at two words spares them the library call.
  if (text.size() < ValueArena::kSharedTextLimit && !ValueArena::HasZeroByte(text.data(), text.size())) return text;
  return CutAtZeroSearching(text);
}

// Byte order of unsigned bytes, as strcmp of the zero-terminated texts.
inline int CompareKey(const InternedString* key, std::string_view text) {
  const std::size_t common = std::min<std::size_t>(key->Size(), text.size());
  // Keys mostly differ in their first byte.
  if (common != 0 && key->CStr()[0] != text[0]) {
    return static_cast<uint8_t>(key->CStr()[0]) < static_cast<uint8_t>(text[0]) ? -1 : 1;
  }
  const int c = common == 0 ? 0 : std::memcmp(key->CStr(), text.data(), common);
  if (c != 0) return c;
  return key->Size() < text.size() ? -1 : (key->Size() > text.size() ? 1 : 0);
}

inline int CompareKeys(const InternedString* a, const InternedString* b) {
  return a == b ? 0 : CompareKey(a, b->View());
}

std::size_t ArrayBytes(std::size_t capacity) { return kBlockHeader + capacity * sizeof(Value); }
std::size_t MapBytes(std::size_t capacity) { return kBlockHeader + capacity * sizeof(ValueMember); }
std::size_t BlobBytes(std::size_t capacity) { return kBlockHeader + capacity; }

Value* ElementsOf(ArrayBlock* block) { return reinterpret_cast<Value*>(reinterpret_cast<char*>(block) + kBlockHeader); }
ValueMember* MembersOf(MapBlock* block) {
  return reinterpret_cast<ValueMember*>(reinterpret_cast<char*>(block) + kBlockHeader);
}
uint8_t* BytesOf(BlobBlock* block) { return reinterpret_cast<uint8_t*>(block) + kBlockHeader; }

// The capacity that fills the size class a request of `wanted` items lands in.
std::size_t FillCapacity(std::size_t wanted, std::size_t itemSize, std::size_t maxCount) {
  const std::size_t usable = ValueArena::UsableSize(kBlockHeader + wanted * itemSize);
  return std::min((usable - kBlockHeader) / itemSize, maxCount);
}

}  // namespace

// The record-level algorithms on trees, with access to the representation.
struct ValueTree {
  using Payload = Value::Payload;

  static ArrayBlock* Array(const Value& v) { return static_cast<ArrayBlock*>(v.payload_.block); }
  static MapBlock* Map(const Value& v) { return static_cast<MapBlock*>(v.payload_.block); }
  static BlobBlock* Blob(const Value& v) { return static_cast<BlobBlock*>(v.payload_.block); }

  // Frees the payload of `v` record by record, then Empty.
  //
  // Iterative and without allocating, so that a tree of any depth can be
  // released from a destructor: the way back up is kept in the tree itself.
  // Going down into a nested container, its slot in the parent's block (which
  // stays allocated until the parent is done) takes the parent's block, the
  // parent's kind and the link to the slot above; a slot's index follows from
  // its address.
  static void Release(Value& v) {
    ValueArena* arena = v.arena_;
    ValueKind kind = v.kind_;
    const Payload payload = v.payload_;
    v.kind_ = ValueKind::Empty;
    v.payload_.bits = 0;
    if (kind < ValueKind::Collection) {
      ReleaseLeaf(kind, payload, arena);
      return;
    }
    void* block = payload.block;
    if (block == nullptr) return;
    Value* path = nullptr;
    uint32_t i = 0;
    for (;;) {
      Value* down = nullptr;
      if (kind == ValueKind::Collection) {
        auto* a = static_cast<ArrayBlock*>(block);
        Value* e = ElementsOf(a);
        for (; i < a->size; ++i) {
          if (e[i].kind_ < ValueKind::String) continue;
          if (IsNested(e[i])) {
            down = &e[i];
            break;
          }
          ReleaseLeaf(e[i].kind_, e[i].payload_, arena);
        }
      } else {
        auto* m = static_cast<MapBlock*>(block);
        ValueMember* e = MembersOf(m);
        for (; i < m->size; ++i) {
          arena->Release(e[i].key_);
          Value& member = e[i].value_;
          if (member.kind_ < ValueKind::String) continue;
          if (IsNested(member)) {
            down = &member;
            break;
          }
          ReleaseLeaf(member.kind_, member.payload_, arena);
        }
      }
      if (down != nullptr) {
        void* childBlock = down->payload_.block;
        const ValueKind childKind = down->kind_;
        down->payload_.block = block;
        down->owner_ = static_cast<uint8_t>(kind);
        down->arena_ = reinterpret_cast<ValueArena*>(path);
        path = down;
        block = childBlock;
        kind = childKind;
        i = 0;
        continue;
      }
      if (kind == ValueKind::Collection) {
        arena->Free(block, ArrayBytes(static_cast<ArrayBlock*>(block)->capacity));
      } else {
        arena->Free(block, MapBytes(static_cast<MapBlock*>(block)->capacity));
      }
      if (path == nullptr) return;
      Value* up = path;
      block = up->payload_.block;
      kind = static_cast<ValueKind>(up->owner_);
      path = reinterpret_cast<Value*>(up->arena_);
      if (kind == ValueKind::Collection) {
        i = static_cast<uint32_t>(up - ElementsOf(static_cast<ArrayBlock*>(block))) + 1;
      } else {
        const char* first = reinterpret_cast<const char*>(&MembersOf(static_cast<MapBlock*>(block))[0].value_);
        i = static_cast<uint32_t>((reinterpret_cast<const char*>(up) - first) / sizeof(ValueMember)) + 1;
      }
      up->kind_ = ValueKind::Empty;
      up->payload_.bits = 0;
      up->owner_ = 0;
      up->arena_ = arena;
    }
  }

  static bool IsNested(const Value& v) { return v.kind_ >= ValueKind::Collection && v.payload_.block != nullptr; }

  static void ReleaseLeaf(ValueKind kind, const Payload& p, ValueArena* arena) {
    switch (kind) {
      case ValueKind::String:
        if (!p.s->IsEmpty()) arena->Release(p.s);
        break;
      case ValueKind::Blob:
        if (auto* b = static_cast<BlobBlock*>(p.block)) arena->Free(b, BlobBytes(b->capacity));
        break;
      case ValueKind::Enum:
        arena->Free(p.block, sizeof(EnumRecord));
        break;
      default:
        break;
    }
  }

  // The state of one deep copy: where records come from and go to, and a
  // small memo of texts already carried over, so that keys repeated all over
  // a tree rarely need the target's table.
  struct CopyContext {
    const ValueArena* source;
    ValueArena* target;
    // Into an arena without texts, a text held once in the source cannot be
    // there yet: such records are made at once and entered in one pass at the
    // end, which lets their table lookups overlap.
    const InternedString** unlisted;
    std::size_t unlistedCount;
    std::size_t unlistedCapacity;
    struct Memo {
      const InternedString* from;
      const InternedString* to;
    } memo[64];
  };

  static constexpr uint32_t kPrefetchDistance = 4;

  // A text or key record of the source usable in the target.
  static const InternedString* CopyText(const InternedString* text, CopyContext& c) {
    if (text->IsEmpty()) return text;
    if (c.source == c.target) {
      ValueArena::Retain(text);
      return text;
    }
    if (text->IsStandalone()) return c.target->CopyStandalone(text);
    if (text->RefCount() == 1 && c.unlistedCount < c.unlistedCapacity) {
      const InternedString* copy = c.target->MakeUnlisted(text->View(), text->Hash());
      c.unlisted[c.unlistedCount++] = copy;
      return copy;
    }
    CopyContext::Memo& memo = c.memo[(reinterpret_cast<uintptr_t>(text) >> 3) & 63];
    if (memo.from == text) {
      ValueArena::Retain(memo.to);
      return memo.to;
    }
    const InternedString* copy = c.target->Intern(text->View(), text->Hash());
    memo.from = text;
    memo.to = copy;
    return copy;
  }

  // Starts loading the target table slots of the texts directly in `v`.
  static void PrefetchTexts(const Value& v, const ValueArena* target) {
    if (v.kind_ == ValueKind::String) {
      if (!v.payload_.s->IsStandalone()) target->PrefetchSlot(v.payload_.s->Hash());
    } else if (v.kind_ == ValueKind::Structure) {
      const MapBlock* m = Map(v);
      if (m == nullptr || m->unsorted) return;
      const ValueMember* e = MembersOf(const_cast<MapBlock*>(m));
      for (uint32_t i = 0; i < m->size; ++i) {
        target->PrefetchSlot(e[i].key_->Hash());
        const Value& member = e[i].value_;
        if (member.kind_ == ValueKind::String && !member.payload_.s->IsStandalone()) {
          target->PrefetchSlot(member.payload_.s->Hash());
        }
      }
    }
  }

  static bool NeedsArena(const Value& v) {
    switch (v.kind_) {
      case ValueKind::String:
        return !v.payload_.s->IsEmpty();
      case ValueKind::Blob:
        return Blob(v) != nullptr && Blob(v)->size != 0;
      case ValueKind::Enum:
        return true;
      case ValueKind::Collection:
        return Array(v) != nullptr && Array(v)->size != 0;
      case ValueKind::Structure:
        return Map(v) != nullptr && Map(v)->size != 0;
      default:
        return false;
    }
  }

  // Builds a copy of the payload of `source` inside `target`, touching
  // nothing else; the caller installs it.
  static Payload CopyPayload(const Value& source, ValueArena* target) {
    CopyContext context;
    context.source = source.arena_;
    context.target = target;
    context.unlisted = nullptr;
    context.unlistedCount = 0;
    context.unlistedCapacity = 0;
    for (CopyContext::Memo& m : context.memo) m = {nullptr, nullptr};
    if (target != nullptr && source.arena_ != nullptr && source.arena_ != target &&
        source.kind_ >= ValueKind::Collection && target->ReadStats().strings == 0) {
      // At most every text of the source arena once.
      context.unlistedCapacity = source.arena_->ReadStats().strings;
      context.unlisted =
          static_cast<const InternedString**>(target->Allocate(context.unlistedCapacity * sizeof(InternedString*)));
    }
    const Payload copy = CopyPayload(source, context);
    if (context.unlisted != nullptr) {
      target->EnterUnlisted(context.unlisted, context.unlistedCount);
      target->Free(context.unlisted, context.unlistedCapacity * sizeof(InternedString*));
    }
    return copy;
  }

  // A container of the copy whose elements or members are still to be made.
  struct CopyJob {
    const Value* from;
    Value* to;
  };

  // The payload of a child: scalars are taken as they are; a nested
  // container gets its block, and its own children wait in `jobs`.
  static Payload CopyChild(const Value& from, CopyContext& c, Vector<CopyJob>& jobs, Value* to) {
    if (from.kind_ < ValueKind::String) return from.payload_;
    if (from.kind_ == ValueKind::String) {
      Payload p;
      p.bits = 0;
      p.s = CopyText(from.payload_.s, c);
      return p;
    }
    Payload p = CopyShallow(from, c);
    if (from.kind_ >= ValueKind::Collection && p.block != nullptr) jobs.push_back(CopyJob{&from, to});
    return p;
  }

  // Iterative, so that the depth of a tree costs heap, not stack: each
  // container's block is made at once and its children filled from a list
  // of pending containers. Blocks are made at their final size, so the
  // places recorded in the list never move.
  static Payload CopyPayload(const Value& source, CopyContext& c) {
    Payload p = CopyShallow(source, c);
    if (source.kind_ < ValueKind::Collection || p.block == nullptr) return p;
    Vector<CopyJob> jobs;
    FillChildren(source, p, c, jobs);
    while (!jobs.empty()) {
      const CopyJob job = jobs.back();
      jobs.pop_back();
      FillChildren(*job.from, job.to->payload_, c, jobs);
    }
    return p;
  }

  // Everything but the children of a container: the record, or the empty block.
  static Payload CopyShallow(const Value& source, CopyContext& c) {
    ValueArena* target = c.target;
    Payload p{};
    switch (source.kind_) {
      case ValueKind::String:
        p.s = CopyText(source.payload_.s, c);
        break;
      case ValueKind::Blob:
        if (const BlobBlock* b = Blob(source); b != nullptr && b->size != 0) {
          const std::size_t capacity = ValueArena::UsableSize(BlobBytes(b->size)) - kBlockHeader;
          auto* copy = static_cast<BlobBlock*>(target->Allocate(BlobBytes(capacity)));
          copy->size = b->size;
          copy->capacity = static_cast<uint32_t>(capacity);
          std::memcpy(BytesOf(copy), BytesOf(const_cast<BlobBlock*>(b)), b->size);
          p.block = copy;
        }
        break;
      case ValueKind::Enum: {
        auto* copy = static_cast<EnumRecord*>(target->Allocate(sizeof(EnumRecord)));
        *copy = *static_cast<const EnumRecord*>(source.payload_.block);
        p.block = copy;
        break;
      }
      case ValueKind::Collection:
        if (ArrayBlock* a = Array(source); a != nullptr && a->size != 0) {
          const std::size_t capacity = FillCapacity(a->size, sizeof(Value), MaxCountFor(sizeof(Value)));
          auto* copy = static_cast<ArrayBlock*>(target->Allocate(ArrayBytes(capacity)));
          copy->size = 0;
          copy->capacity = static_cast<uint32_t>(capacity);
          p.block = copy;
        }
        break;
      case ValueKind::Structure:
        if (MapBlock* m = Map(source); m != nullptr && m->size != 0) {
          const std::size_t capacity = FillCapacity(m->size, sizeof(ValueMember), MaxCountFor(sizeof(ValueMember)));
          auto* copy = static_cast<MapBlock*>(target->Allocate(MapBytes(capacity)));
          copy->size = 0;
          copy->capacity = static_cast<uint32_t>(capacity);
          copy->unsorted = m->unsorted;
          p.block = copy;
        }
        break;
      default:
        p = source.payload_;
        break;
    }
    return p;
  }

  // Fills the block made for `source`'s copy; the count grows with each
  // child made, so a copy cut short by an exception releases cleanly.
  static void FillChildren(const Value& source, Payload& p, CopyContext& c, Vector<CopyJob>& jobs) {
    ValueArena* target = c.target;
    if (source.kind_ == ValueKind::Collection) {
      const ArrayBlock* a = Array(source);
      auto* copy = static_cast<ArrayBlock*>(p.block);
      const Value* from = ElementsOf(const_cast<ArrayBlock*>(a));
      Value* to = ElementsOf(copy);
      const bool prefetch = c.source != target;
      for (uint32_t i = 0; i < a->size; ++i) {
        // Table lookups of a few elements ahead overlap with this one's copy.
        if (prefetch && i + kPrefetchDistance < a->size) PrefetchTexts(from[i + kPrefetchDistance], target);
        Value* e = ::new (static_cast<void*>(to + i)) Value();
        e->InitChild(target);
        e->payload_ = CopyChild(from[i], c, jobs, e);
        e->kind_ = from[i].kind_;
        copy->size = i + 1;
      }
    } else if (source.kind_ == ValueKind::Structure) {
      const MapBlock* m = Map(source);
      auto* copy = static_cast<MapBlock*>(p.block);
      const ValueMember* from = MembersOf(const_cast<MapBlock*>(m));
      ValueMember* to = MembersOf(copy);
      for (uint32_t i = 0; i < m->size; ++i) {
        ValueMember* e = ::new (static_cast<void*>(to + i)) ValueMember();
        e->key_ = CopyText(from[i].key_, c);
        e->value_.InitChild(target);
        e->value_.payload_ = CopyChild(from[i].value_, c, jobs, &e->value_);
        e->value_.kind_ = from[i].value_.kind_;
        copy->size = i + 1;
      }
    }
  }

  // Whether `target` is an element or member somewhere inside the payload.
  static bool Contains(ValueKind kind, const Payload& p, const Value* target) {
    if (kind < ValueKind::Collection || p.block == nullptr) return false;
    Vector<const Value*> pending;
    Value top;
    top.InitChild(nullptr);
    top.kind_ = kind;
    top.payload_ = p;
    pending.push_back(&top);
    bool found = false;
    while (!pending.empty() && !found) {
      const Value* v = pending.back();
      pending.pop_back();
      if (v->kind_ == ValueKind::Collection && v->payload_.block != nullptr) {
        auto* a = Array(*v);
        const Value* e = ElementsOf(a);
        if (target >= e && target < e + a->size) found = true;
        for (uint32_t i = 0; i < a->size && !found; ++i) {
          if (IsNested(e[i])) pending.push_back(&e[i]);
        }
      } else if (v->kind_ == ValueKind::Structure && v->payload_.block != nullptr) {
        auto* m = Map(*v);
        const ValueMember* e = MembersOf(m);
        for (uint32_t i = 0; i < m->size && !found; ++i) {
          if (&e[i].value_ == target) found = true;
          if (IsNested(e[i].value_)) pending.push_back(&e[i].value_);
        }
      }
    }
    top.kind_ = ValueKind::Empty;  // borrowed payload: not released here
    top.payload_.bits = 0;
    return found;
  }

  // Puts appended members back in key order; of equal keys the last wins.
  static MapBlock* Sorted(const Value& v) {
    MapBlock* m = Map(v);
    if (m != nullptr && m->unsorted) SortMembers(m, v.arena_);
    return m;
  }

  static void SortMembers(MapBlock* m, ValueArena* arena) {
    ValueMember* e = MembersOf(m);
    const std::size_t n = m->size;
    if (n <= 32) {
      InsertionSort(e, n);
    } else {
      auto* scratch = static_cast<ValueMember*>(arena->Allocate(n * sizeof(ValueMember)));
      MergeSort(e, scratch, n);
      arena->Free(scratch, n * sizeof(ValueMember));
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 1 < n && e[i].key_ == e[i + 1].key_) {
        arena->Release(e[i].key_);
        Release(e[i].value_);
        continue;
      }
      if (kept != i) std::memcpy(static_cast<void*>(e + kept), static_cast<const void*>(e + i), sizeof(ValueMember));
      ++kept;
    }
    m->size = static_cast<uint32_t>(kept);
    m->unsorted = 0;
  }

  static void InsertionSort(ValueMember* e, std::size_t n) {
    alignas(ValueMember) unsigned char held[sizeof(ValueMember)];
    for (std::size_t i = 1; i < n; ++i) {
      if (CompareKeys(e[i - 1].key_, e[i].key_) <= 0) continue;
      std::memcpy(held, static_cast<const void*>(e + i), sizeof(ValueMember));
      const InternedString* key = e[i].key_;
      std::size_t j = i;
      while (j > 0 && CompareKeys(e[j - 1].key_, key) > 0) --j;
      std::memmove(static_cast<void*>(e + j + 1), static_cast<const void*>(e + j), (i - j) * sizeof(ValueMember));
      std::memcpy(static_cast<void*>(e + j), held, sizeof(ValueMember));
    }
  }

  // Stable bottom-up merge sort over raw member records.
  static void MergeSort(ValueMember* e, ValueMember* scratch, std::size_t n) {
    constexpr std::size_t kRun = 16;
    for (std::size_t start = 0; start < n; start += kRun) InsertionSort(e + start, std::min(kRun, n - start));
    ValueMember* from = e;
    ValueMember* to = scratch;
    for (std::size_t width = kRun; width < n; width *= 2) {
      for (std::size_t left = 0; left < n; left += 2 * width) {
        const std::size_t mid = std::min(left + width, n);
        const std::size_t right = std::min(left + 2 * width, n);
        std::size_t i = left, j = mid, k = left;
        while (i < mid && j < right) {
          const std::size_t pick = CompareKeys(from[j].key_, from[i].key_) < 0 ? j++ : i++;
          std::memcpy(static_cast<void*>(to + k++), static_cast<const void*>(from + pick), sizeof(ValueMember));
        }
        if (i < mid)
          std::memcpy(static_cast<void*>(to + k), static_cast<const void*>(from + i), (mid - i) * sizeof(ValueMember));
        k += mid - i;
        if (j < right)
          std::memcpy(static_cast<void*>(to + k), static_cast<const void*>(from + j),
                      (right - j) * sizeof(ValueMember));
      }
      std::swap(from, to);
    }
    if (from != e) std::memcpy(static_cast<void*>(e), static_cast<const void*>(from), n * sizeof(ValueMember));
  }

  // Index of the first member whose key is not below `key`; `found` tells
  // whether it is equal.
  static std::size_t LowerBound(MapBlock* m, std::string_view key, bool* found) {
    ValueMember* e = MembersOf(m);
    std::size_t low = 0, high = m->size;
    // Keys that arrive in order land at the end: test the last one first.
    if (high != 0) {
      const int c = CompareKey(e[high - 1].key_, key);
      if (c < 0) {
        *found = false;
        return high;
      }
      if (c == 0) {
        *found = true;
        return high - 1;
      }
      --high;
    }
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      if (CompareKey(e[mid].key_, key) < 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    *found = low < m->size && CompareKey(e[low].key_, key) == 0;
    return low;
  }

  // Never changes the value: an unfinished structure is searched as it
  // lies, from its last member back, so the last of equal keys is found.
  static Value* FindIn(const Value& v, std::string_view key) {
    if (v.kind_ != ValueKind::Structure) return nullptr;
    MapBlock* m = Map(v);
    if (m == nullptr) return nullptr;
    key = CutAtZero(key);
    if (m->unsorted) {
      ValueMember* e = MembersOf(m);
      for (uint32_t i = m->size; i-- > 0;) {
        if (CompareKey(e[i].key_, key) == 0) return &e[i].value_;
      }
      return nullptr;
    }
    bool found = false;
    const std::size_t at = LowerBound(m, key, &found);
    return found ? &MembersOf(m)[at].value_ : nullptr;
  }

  static bool EqualScalars(const Value& a, const Value& b) {
    switch (a.kind_) {
      case ValueKind::Empty:
        return true;
      case ValueKind::Bool:
        return a.payload_.b == b.payload_.b;
      case ValueKind::Signed:
      case ValueKind::Unsigned:
        return a.payload_.u == b.payload_.u;
      case ValueKind::Float:
        return a.payload_.f == b.payload_.f;
      case ValueKind::String:
        return a.payload_.s == b.payload_.s || a.payload_.s->View() == b.payload_.s->View();
      case ValueKind::Blob: {
        const auto x = a.AsBlob(), y = b.AsBlob();
        return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size()) == 0);
      }
      case ValueKind::Enum: {
        const EnumValue x = a.AsEnum(), y = b.AsEnum();
        return x.number == y.number && x.type == y.type;
      }
      default:
        return false;
    }
  }

  // Iterative: pairs of containers still to compare wait on a list.
  static bool Equal(const Value& a, const Value& b) {
    if (a.kind_ != b.kind_) return false;
    if (a.kind_ < ValueKind::Collection) return EqualScalars(a, b);
    Vector<std::pair<const Value*, const Value*>> pending;
    pending.emplace_back(&a, &b);
    while (!pending.empty()) {
      const auto [x, y] = pending.back();
      pending.pop_back();
      if (x->kind_ == ValueKind::Collection) {
        const auto xs = x->Elements(), ys = y->Elements();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          if (xs[i].kind_ != ys[i].kind_) return false;
          if (xs[i].kind_ >= ValueKind::Collection) {
            pending.emplace_back(&xs[i], &ys[i]);
          } else if (!EqualScalars(xs[i], ys[i])) {
            return false;
          }
        }
      } else {
        const auto xs = x->Members(), ys = y->Members();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          const Value& u = xs[i].value();
          const Value& w = ys[i].value();
          if (xs[i].name() != ys[i].name() || u.kind_ != w.kind_) return false;
          if (u.kind_ >= ValueKind::Collection) {
            pending.emplace_back(&u, &w);
          } else if (!EqualScalars(u, w)) {
            return false;
          }
        }
      }
    }
    return true;
  }
};

}  // namespace kiv::binding
