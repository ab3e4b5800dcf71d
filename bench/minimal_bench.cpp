// What the guarantees of this library's trees cost on their own: a minimal
// reader that keeps them (every key and every short text held once per tree,
// members unique and in byte order of their keys), read through the same
// tokenizers, against the same peers, on the same bytes in the same run.
//
// The minimal tree is as small as such a tree gets: 16-byte nodes; records
// and blocks taken from one growing region per read and freed with it
// (nothing is reused, so such a tree could not be edited for long); keys and
// short texts interned through a small cache in front of an open-addressing
// table; containers whose size comes last (JSON, YAML) built on scratch
// stacks kept between reads and copied to a block of their exact size when
// they close, MessagePack containers built in place; members sorted only when
// their keys come out of order. It keeps no error offsets, no budgets beyond
// a depth cap, and no YAML anchors, aliases or scalar types. A product reader
// does all of that and more, so where even this reader stays well short of a
// peer, no trimming of a product reader's extras closes the gap.
//
// Counters: vs_<peer> is throughput as a ratio of the peer's (higher is
// better). BM_RapidJsonTokens is the JSON tokenizer alone, with a handler
// that keeps nothing: the part of every reader built on it that no tree can
// save.
#include <benchmark/benchmark.h>
#include <yaml.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <msgpack.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "rapidjson/document.h"
#include "rapidjson/reader.h"
#include "reader_documents.h"
#include "yaml_documents.h"

namespace {

using reader_bench::DocumentName;
using reader_bench::Measure;
using reader_bench::Ratio;

// ---------------------------------------------------------------------------
// The minimal tree

struct Text {
  uint32_t hash;
  uint32_t refs;
  uint32_t length;
  const char* Chars() const { return reinterpret_cast<const char*>(this + 1); }
};

struct Member;

struct Node {
  enum Kind : uint8_t { kEmpty, kBool, kSigned, kUnsigned, kFloat, kString, kArray, kObject };
  Kind kind = kEmpty;
  uint32_t count = 0;  // elements or members
  union {
    bool b;
    int64_t i;
    uint64_t u;
    double d;
    const Text* s;
    Node* elements;
    Member* members;
  };
};
static_assert(sizeof(Node) == 16);

struct Member {
  const Text* key;
  Node value;
};

uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
uint32_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

bool SameBytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return ((Load64(a) ^ Load64(b)) | (Load64(a + n - 8) ^ Load64(b + n - 8))) == 0;
  if (n >= 4) return ((Load32(a) ^ Load32(b)) | (Load32(a + n - 4) ^ Load32(b + n - 4))) == 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Byte order of the texts, as unsigned bytes, a shorter prefix first.
bool Before(const Text* a, const Text* b) {
  if (a->length >= 8 && b->length >= 8) {
    const uint64_t x = Load64(a->Chars()), y = Load64(b->Chars());
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
  }
  const int c = std::memcmp(a->Chars(), b->Chars(), std::min(a->length, b->length));
  return c != 0 ? c < 0 : a->length < b->length;
}

// Sorts the members by key when they are out of order and keeps the last of
// repeated keys; returns how many remain.
std::size_t OrderMembers(Member* m, std::size_t n) {
  bool ordered = true;
  for (std::size_t i = 1; i < n && ordered; ++i) ordered = Before(m[i - 1].key, m[i].key);
  if (ordered) return n;
  std::stable_sort(m, m + n, [](const Member& a, const Member& b) { return Before(a.key, b.key); });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (kept != 0 && m[kept - 1].key == m[i].key) {
      m[kept - 1] = m[i];
    } else {
      m[kept++] = m[i];
    }
  }
  return kept;
}

class Region {
 public:
  Region() {
    std::memset(cache_, 0, sizeof cache_);
    std::memset(inlineSlots_, 0, sizeof inlineSlots_);
  }
  ~Region() {
    while (blocks_ != nullptr) {
      Block* next = blocks_->next;
      std::free(blocks_);
      blocks_ = next;
    }
    if (slots_ != inlineSlots_) std::free(slots_);
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  void* Take(std::size_t bytes) {
    bytes = (bytes + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(end_ - next_) < bytes) Grow(bytes);
    void* p = next_;
    next_ += bytes;
    return p;
  }

  const Text* Copy(const char* p, std::size_t n, uint32_t hash) {
    auto* t = static_cast<Text*>(Take(sizeof(Text) + n + 1));
    t->hash = hash;
    t->refs = 1;
    t->length = static_cast<uint32_t>(n);
    char* chars = reinterpret_cast<char*>(t + 1);
    std::memcpy(chars, p, n);
    chars[n] = '\0';
    return t;
  }

  const Text* Intern(const char* p, std::size_t n) {
    uint64_t prefix = 0;
    if (n >= 8) {
      prefix = Load64(p);
    } else if (n >= 4) {
      prefix = (uint64_t{Load32(p + n - 4)} << 32) | Load32(p);
    } else {
      for (std::size_t i = 0; i < n; ++i) prefix = (prefix << 8) | static_cast<uint8_t>(p[i]);
    }
    Text*& cached = cache_[((prefix + n) * 0x9E3779B97F4A7C15ull) >> 57];
    if (cached != nullptr && cached->length == n && SameBytes(cached->Chars(), p, n)) {
      ++cached->refs;
      return cached;
    }
    Text* t = InternInTable(p, n);
    cached = t;
    return t;
  }

  // Short texts are shared while the table is small; past that, in a tree of
  // thousands of texts, most of them never repeat (serial names, numbers in
  // YAML) and each gets a copy of its own.
  const Text* Value(const char* p, std::size_t n) { return n < 16 && used_ < 4096 ? Intern(p, n) : Copy(p, n, 0); }

 private:
  struct Block {
    Block* next;
  };
  struct Slot {
    Text* text;
    uint32_t hash;
  };
  static uint32_t Hash(const char* p, std::size_t n) {
    uint64_t a = 0, b = 0;
    if (n >= 8) {
      std::size_t i = 0;
      for (; i + 16 < n; i += 8) {
        a = (a ^ Load64(p + i)) * 0x9E3779B97F4A7C15ull;
        a ^= a >> 29;
      }
      a ^= Load64(p + i);
      b = Load64(p + n - 8);
    } else if (n >= 4) {
      a = Load32(p);
      b = Load32(p + n - 4);
    } else {
      for (std::size_t i = 0; i < n; ++i) a = (a << 8) | static_cast<uint8_t>(p[i]);
    }
    uint64_t x = (a ^ (b << 1 | b >> 63) ^ n) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 32)) * 0xD6E8FEB86659FD93ull;
    return static_cast<uint32_t>(x ^ (x >> 32));
  }
  Text* InternInTable(const char* p, std::size_t n) {
    const uint32_t hash = Hash(p, n);
    for (uint32_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.text == nullptr) {
        if ((used_ + 1) * 4 > (mask_ + 1) * 3) {
          Rehash();
          return InternInTable(p, n);
        }
        slot.text = const_cast<Text*>(Copy(p, n, hash));
        slot.hash = hash;
        ++used_;
        return slot.text;
      }
      if (slot.hash == hash && slot.text->length == n && SameBytes(slot.text->Chars(), p, n)) {
        ++slot.text->refs;
        return slot.text;
      }
    }
  }
  void Rehash() {
    Slot* old = slots_;
    const uint32_t oldCount = mask_ + 1;
    const uint32_t count = oldCount * 4;
    slots_ = static_cast<Slot*>(std::calloc(count, sizeof(Slot)));
    if (slots_ == nullptr) std::abort();
    mask_ = count - 1;
    for (uint32_t i = 0; i < oldCount; ++i) {
      if (old[i].text == nullptr) continue;
      uint32_t j = old[i].hash & mask_;
      while (slots_[j].text != nullptr) j = (j + 1) & mask_;
      slots_[j] = old[i];
    }
    if (old != inlineSlots_) std::free(old);
  }
  void Grow(std::size_t bytes) {
    const std::size_t size = std::max<std::size_t>(bytes + sizeof(Block), std::size_t{64} << 10);
    auto* block = static_cast<Block*>(std::malloc(size));
    if (block == nullptr) std::abort();
    block->next = blocks_;
    blocks_ = block;
    next_ = reinterpret_cast<char*>(block + 1);
    end_ = reinterpret_cast<char*>(block) + size;
  }

  alignas(16) char first_[4096];
  char* next_ = first_;
  char* end_ = first_ + sizeof first_;
  Block* blocks_ = nullptr;
  Text* cache_[128];
  Slot inlineSlots_[64];
  Slot* slots_ = inlineSlots_;
  uint32_t mask_ = 63;
  uint32_t used_ = 0;
};

// The stacks of open containers, kept from one read to the next as a
// reader's thread would keep them.
struct Scratch {
  struct Frame {
    bool object;
    const Text* key;
    std::size_t nodes;
    std::size_t members;
  };
  std::vector<Frame> frames;
  std::vector<Node> nodes;
  std::vector<Member> members;
};

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Open containers of one read (texts and YAML, where sizes come at the end):
// their children wait on the scratch stacks and move to blocks of their exact
// size when the container closes.
class Builder {
 public:
  explicit Builder(Region& region)
      : region_(region),
        frames_(ThreadScratch().frames),
        nodes_(ThreadScratch().nodes),
        members_(ThreadScratch().members) {
    frames_.clear();
    nodes_.clear();
    members_.clear();
  }

  bool Open(bool object) {
    if (frames_.size() >= 512) return false;
    frames_.push_back(Scratch::Frame{object, nullptr, nodes_.size(), members_.size()});
    return true;
  }
  void Key(const char* p, std::size_t n) { frames_.back().key = region_.Intern(p, n); }
  void Close() {
    const Scratch::Frame frame = frames_.back();
    frames_.pop_back();
    Node node;
    if (frame.object) {
      std::size_t n = members_.size() - frame.members;
      auto* m = static_cast<Member*>(region_.Take(n * sizeof(Member)));
      std::memcpy(static_cast<void*>(m), members_.data() + frame.members, n * sizeof(Member));
      members_.resize(frame.members);
      n = OrderMembers(m, n);
      node.kind = Node::kObject;
      node.count = static_cast<uint32_t>(n);
      node.members = m;
    } else {
      const std::size_t n = nodes_.size() - frame.nodes;
      auto* e = static_cast<Node*>(region_.Take(n * sizeof(Node)));
      std::memcpy(static_cast<void*>(e), nodes_.data() + frame.nodes, n * sizeof(Node));
      nodes_.resize(frame.nodes);
      node.kind = Node::kArray;
      node.count = static_cast<uint32_t>(n);
      node.elements = e;
    }
    Put(node);
  }
  void Put(const Node& node) {
    if (frames_.empty()) {
      root_ = node;
    } else if (frames_.back().object) {
      members_.push_back(Member{frames_.back().key, node});
    } else {
      nodes_.push_back(node);
    }
  }
  bool InObjectAwaitingKey() const { return !frames_.empty() && frames_.back().object && !awaitingValue_; }
  void SetAwaitingValue(bool awaiting) { awaitingValue_ = awaiting; }
  Region& region() { return region_; }
  const Node& root() const { return root_; }
  void SetRoot(const Node& root) { root_ = root; }

 private:
  Region& region_;
  Node root_;
  bool awaitingValue_ = false;
  std::vector<Scratch::Frame>& frames_;
  std::vector<Node>& nodes_;
  std::vector<Member>& members_;
};

// ---------------------------------------------------------------------------
// The minimal readers

struct JsonHandler {
  Builder& b;
  bool Null() { return Scalar(Node{}); }
  bool Bool(bool v) {
    Node n;
    n.kind = Node::kBool;
    n.b = v;
    return Scalar(n);
  }
  bool Int(int v) { return Int64(v); }
  bool Uint(unsigned v) { return Uint64(v); }
  bool Int64(int64_t v) {
    Node n;
    n.kind = Node::kSigned;
    n.i = v;
    return Scalar(n);
  }
  bool Uint64(uint64_t v) {
    Node n;
    n.kind = Node::kUnsigned;
    n.u = v;
    return Scalar(n);
  }
  bool Double(double v) {
    Node n;
    n.kind = Node::kFloat;
    n.d = v;
    return Scalar(n);
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char* p, rapidjson::SizeType n, bool) {
    Node node;
    node.kind = Node::kString;
    node.s = b.region().Value(p, n);
    return Scalar(node);
  }
  bool Key(const char* p, rapidjson::SizeType n, bool) {
    b.Key(p, n);
    return true;
  }
  bool StartObject() { return b.Open(true); }
  bool StartArray() { return b.Open(false); }
  bool EndObject(rapidjson::SizeType) {
    b.Close();
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    b.Close();
    return true;
  }
  bool Scalar(const Node& n) {
    b.Put(n);
    return true;
  }
};

bool MinimalJson(const std::string& text, Builder& b) {
  JsonHandler handler{b};
  rapidjson::Reader reader;
  rapidjson::StringStream stream(text.c_str());
  return !reader.Parse<rapidjson::kParseDefaultFlags>(stream, handler).IsError();
}

// Sizes come first in MessagePack, so containers are built in place, in
// blocks of their exact size, without the scratch stacks.
class MsgPackReader {
 public:
  MsgPackReader(const std::vector<uint8_t>& bytes, Builder& b)
      : p_(bytes.data()), end_(bytes.data() + bytes.size()), b_(b), region_(b.region()) {}
  bool Read() {
    Node root;
    if (!Item(root, 0) || p_ != end_) return false;
    b_.SetRoot(root);
    return true;
  }

 private:
  template <typename T>
  bool Big(T* out) {
    if (static_cast<std::size_t>(end_ - p_) < sizeof(T)) return false;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p_[i]);
    p_ += sizeof(T);
    *out = v;
    return true;
  }
  template <typename T>
  bool Length(std::size_t* n) {
    T v;
    if (!Big(&v)) return false;
    *n = v;
    return true;
  }
  bool Text(std::size_t n, Node& out) {
    if (static_cast<std::size_t>(end_ - p_) < n) return false;
    out.kind = Node::kString;
    out.s = region_.Value(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }
  bool Key(const struct Text** key) {
    if (p_ == end_) return false;
    const uint8_t t = *p_++;
    std::size_t n;
    if ((t & 0xe0) == 0xa0) {
      n = t & 0x1f;
    } else if (t == 0xd9) {
      if (!Length<uint8_t>(&n)) return false;
    } else if (t == 0xda) {
      if (!Length<uint16_t>(&n)) return false;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end_ - p_) < n) return false;
    *key = region_.Intern(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }
  bool Object(std::size_t n, Node& out, int depth) {
    // Every member takes at least two bytes.
    if (depth >= 512 || n > static_cast<std::size_t>(end_ - p_) / 2) return false;
    auto* m = static_cast<Member*>(region_.Take(n * sizeof(Member)));
    for (std::size_t i = 0; i < n; ++i) {
      if (!Key(&m[i].key) || !Item(m[i].value, depth + 1)) return false;
    }
    out.kind = Node::kObject;
    out.count = static_cast<uint32_t>(OrderMembers(m, n));
    out.members = m;
    return true;
  }
  bool Array(std::size_t n, Node& out, int depth) {
    if (depth >= 512 || n > static_cast<std::size_t>(end_ - p_)) return false;
    auto* e = static_cast<Node*>(region_.Take(n * sizeof(Node)));
    for (std::size_t i = 0; i < n; ++i) {
      if (!Item(e[i], depth + 1)) return false;
    }
    out.kind = Node::kArray;
    out.count = static_cast<uint32_t>(n);
    out.elements = e;
    return true;
  }
  template <typename T>
  bool Number(Node::Kind kind, Node& out) {
    T v;
    if (!Big(&v)) return false;
    out.kind = kind;
    if (kind == Node::kSigned) {
      out.i = static_cast<std::make_signed_t<T>>(v);
    } else {
      out.u = v;
    }
    return true;
  }
  bool Item(Node& out, int depth) {
    if (p_ == end_) return false;
    const uint8_t t = *p_++;
    out.kind = Node::kEmpty;
    out.count = 0;
    if (t <= 0x7f || t >= 0xe0) {
      out.kind = Node::kSigned;
      out.i = static_cast<int8_t>(t);
      return true;
    }
    if ((t & 0xe0) == 0xa0) return Text(t & 0x1f, out);
    if ((t & 0xf0) == 0x80) return Object(t & 0x0f, out, depth);
    if ((t & 0xf0) == 0x90) return Array(t & 0x0f, out, depth);
    std::size_t length;
    switch (t) {
      case 0xc0:
        return true;
      case 0xc2:
      case 0xc3:
        out.kind = Node::kBool;
        out.b = t == 0xc3;
        return true;
      case 0xca: {
        uint32_t bits;
        if (!Big(&bits)) return false;
        float f;
        std::memcpy(&f, &bits, 4);
        out.kind = Node::kFloat;
        out.d = f;
        return true;
      }
      case 0xcb: {
        uint64_t bits;
        if (!Big(&bits)) return false;
        out.kind = Node::kFloat;
        std::memcpy(&out.d, &bits, 8);
        return true;
      }
      case 0xcc:
        return Number<uint8_t>(Node::kUnsigned, out);
      case 0xcd:
        return Number<uint16_t>(Node::kUnsigned, out);
      case 0xce:
        return Number<uint32_t>(Node::kUnsigned, out);
      case 0xcf:
        return Number<uint64_t>(Node::kUnsigned, out);
      case 0xd0:
        return Number<uint8_t>(Node::kSigned, out);
      case 0xd1:
        return Number<uint16_t>(Node::kSigned, out);
      case 0xd2:
        return Number<uint32_t>(Node::kSigned, out);
      case 0xd3:
        return Number<uint64_t>(Node::kSigned, out);
      case 0xd9:
        return Length<uint8_t>(&length) && Text(length, out);
      case 0xda:
        return Length<uint16_t>(&length) && Text(length, out);
      case 0xdb:
        return Length<uint32_t>(&length) && Text(length, out);
      case 0xdc:
        return Length<uint16_t>(&length) && Array(length, out, depth);
      case 0xdd:
        return Length<uint32_t>(&length) && Array(length, out, depth);
      case 0xde:
        return Length<uint16_t>(&length) && Object(length, out, depth);
      case 0xdf:
        return Length<uint32_t>(&length) && Object(length, out, depth);
      default:
        return false;  // binary, extension and other types do not occur in the documents
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
  Builder& b_;
  Region& region_;
};

// Every scalar becomes a text: the minimal reader decides no types.
bool MinimalYaml(const std::string& text, Builder& b) {
  yaml_parser_t parser;
  if (yaml_parser_initialize(&parser) == 0) return false;
  yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  bool ok = true;
  for (;;) {
    yaml_event_t event;
    if (yaml_parser_parse(&parser, &event) == 0) {
      ok = false;
      break;
    }
    const yaml_event_type_t type = event.type;
    if (type == YAML_SCALAR_EVENT) {
      const char* value = reinterpret_cast<const char*>(event.data.scalar.value);
      const std::size_t n = event.data.scalar.length;
      if (b.InObjectAwaitingKey()) {
        b.Key(value, n);
        b.SetAwaitingValue(true);
      } else {
        Node node;
        node.kind = Node::kString;
        node.s = b.region().Value(value, n);
        b.Put(node);
        b.SetAwaitingValue(false);
      }
    } else if (type == YAML_SEQUENCE_START_EVENT || type == YAML_MAPPING_START_EVENT) {
      ok = b.Open(type == YAML_MAPPING_START_EVENT);
      b.SetAwaitingValue(false);
    } else if (type == YAML_SEQUENCE_END_EVENT || type == YAML_MAPPING_END_EVENT) {
      b.Close();
      b.SetAwaitingValue(false);
    }
    yaml_event_delete(&event);
    if (type == YAML_STREAM_END_EVENT || !ok) break;
  }
  yaml_parser_delete(&parser);
  return ok;
}

// ---------------------------------------------------------------------------
// The benchmarks

const std::string& JsonText(int which) {
  static std::string texts[reader_bench::kDocumentCount];
  if (texts[which].empty()) texts[which] = reader_bench::ToJsonText(reader_bench::Document(which));
  return texts[which];
}

const std::vector<uint8_t>& MsgPackBytes(int which) {
  static std::vector<uint8_t> bytes[reader_bench::kDocumentCount];
  if (bytes[which].empty()) bytes[which] = nlohmann::json::to_msgpack(reader_bench::Document(which));
  return bytes[which];
}

// How many members or elements a document's top level holds; generating a
// document takes longer than reading it, so each is counted once for all
// three formats.
std::size_t TopLevelCount(int which) {
  static std::size_t counts[reader_bench::kDocumentCount] = {};
  static bool known[reader_bench::kDocumentCount] = {};
  if (!known[which]) {
    counts[which] = reader_bench::Document(which).size();
    known[which] = true;
  }
  return counts[which];
}

// Once, untimed: the reader must give the document's top level, or the loop
// would measure an early failure.
template <typename Read>
bool Checked(benchmark::State& state, int which, Read read) {
  Region region;
  Builder b(region);
  if (!read(b) || b.root().count != TopLevelCount(which)) {
    state.SkipWithError("the minimal reader did not give the document");
    return false;
  }
  return true;
}

template <typename Read>
void MeasureMinimal(benchmark::State& state, const std::string& key, std::size_t bytes, Read read) {
  Measure(state, key, bytes, [&] {
    Region region;
    Builder b(region);
    if (!read(b)) state.SkipWithError("the minimal reader failed");
    benchmark::DoNotOptimize(b.root().count);
  });
}

void BM_RapidJsonDocument(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = JsonText(which);
  Measure(state, std::string("rapidjson/") + DocumentName(which), text.size(), [&] {
    rapidjson::Document document;
    document.Parse(text.c_str());
    if (document.HasParseError()) state.SkipWithError("peer failed");
    benchmark::DoNotOptimize(document.GetType());
  });
}

void BM_RapidJsonTokens(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = JsonText(which);
  const std::string key = std::string("tokens/") + DocumentName(which);
  Measure(state, key, text.size(), [&] {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());
    if (reader.Parse<rapidjson::kParseDefaultFlags>(stream, handler).IsError()) state.SkipWithError("failed");
  });
  state.counters["vs_rapidjson"] = Ratio(key, std::string("rapidjson/") + DocumentName(which));
}

void BM_MinimalJson(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = JsonText(which);
  auto read = [&](Builder& b) { return MinimalJson(text, b); };
  if (!Checked(state, which, read)) return;
  const std::string key = std::string("minimal-json/") + DocumentName(which);
  MeasureMinimal(state, key, text.size(), read);
  state.counters["vs_rapidjson"] = Ratio(key, std::string("rapidjson/") + DocumentName(which));
}

void BM_MsgpackCxxUnpack(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& bytes = MsgPackBytes(which);
  Measure(state, std::string("msgpack-cxx/") + DocumentName(which), bytes.size(), [&] {
    msgpack::object_handle handle = msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    benchmark::DoNotOptimize(handle.get().type);
  });
}

void BM_MinimalMessagePack(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& bytes = MsgPackBytes(which);
  auto read = [&](Builder& b) { return MsgPackReader(bytes, b).Read(); };
  if (!Checked(state, which, read)) return;
  const std::string key = std::string("minimal-msgpack/") + DocumentName(which);
  MeasureMinimal(state, key, bytes.size(), read);
  state.counters["vs_msgpack_cxx"] = Ratio(key, std::string("msgpack-cxx/") + DocumentName(which));
}

void BM_LibYamlEvents(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = yaml_bench::Text(which);
  Measure(state, std::string("libyaml/") + DocumentName(which), text.size(),
          [&] { yaml_bench::CheckedEventLoop(state, text); });
}

void BM_MinimalYaml(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = yaml_bench::Text(which);
  auto read = [&](Builder& b) { return MinimalYaml(text, b); };
  if (!Checked(state, which, read)) return;
  const std::string key = std::string("minimal-yaml/") + DocumentName(which);
  MeasureMinimal(state, key, text.size(), read);
  state.counters["vs_libyaml"] = Ratio(key, std::string("libyaml/") + DocumentName(which));
}

// Peers first, so that the minimal reader's runs can give their ratios.
BENCHMARK(BM_RapidJsonDocument)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_RapidJsonTokens)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_MinimalJson)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_MsgpackCxxUnpack)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_MinimalMessagePack)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_LibYamlEvents)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_MinimalYaml)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1);

}  // namespace
