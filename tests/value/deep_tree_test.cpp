// Trees at the depth bound, walked on a thread with a 256 KiB stack: a
// plugin may be called on host threads that small. Every walk either keeps
// its open containers on the heap or refuses the first level past the bound
// with its message; none may overflow (which ends the program).
//
// With the reference host built, its walks of the same trees (records to
// JSON, JSON text and back, release) run here too.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>

#include "logging/memory.h"
#include "value/convert.h"
#include "value/host_value.h"
#include "value/limits.h"
#include "value/value.h"
#if KIV_DEEP_TREE_HOST
#include "host_value.h"
#endif

namespace kiv::binding {
namespace {

constexpr std::size_t kSmallStack = 256 * 1024;

// pthreads serve every target here, MinGW's posix thread model included.
void OnSmallStack(const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// Packed record fields are read by value.
uint32_t Kind(const HostValue& v) { return v.kind; }

enum class Shape { Collections, Structures, Alternating };

// A tree exactly `depth` levels deep: a chain of containers, the innermost
// one empty, each other one holding a scalar beside the next container so
// that every walk also has to come back up and carry on. Texts and negative
// numbers keep their kinds through JSON text.
void BuildChain(Value& root, std::size_t depth, Shape shape) {
  Value* v = &root;
  for (std::size_t level = 1;; ++level) {
    const bool structure = shape == Shape::Structures || (shape == Shape::Alternating && level % 2 == 1);
    if (level == depth) {
      structure ? v->MakeStructure() : v->MakeCollection();
      return;
    }
    if (structure) {
      v->Member("s").SetString("x");
      v = &v->Member("m");
    } else {
      v->Append().SetSigned(-static_cast<int64_t>(level));
      v = &v->Append();
    }
  }
}

TEST(DeepTree, EveryWalkAtTheBoundFitsASmallStack) {
  const std::string tooDeepToWrite = "Couldn't convert value to a host value because it is nested deeper than " +
                                     std::to_string(kMaxValueDepth) + " levels.";
  const std::string tooDeepToRead =
      "Couldn't assign value to 'v' of type object because the input is nested deeper than " +
      std::to_string(kMaxValueDepth) + " levels.";
  for (Shape shape : {Shape::Collections, Shape::Structures, Shape::Alternating}) {
    SCOPED_TRACE(static_cast<int>(shape));
    Value tree;
    BuildChain(tree, kMaxValueDepth, shape);
    Value deeper;
    BuildChain(deeper, kMaxValueDepth + 1, shape);
    OnSmallStack([&] {
      // The value's own walks have no bound.
      for (const Value* source : {&tree, &deeper}) {
        Value copy;
        copy.CopyFrom(*source);
        EXPECT_TRUE(copy == *source);
        EXPECT_FALSE(copy == (source == &tree ? deeper : tree));
        copy.Reset();
        EXPECT_TRUE(copy.IsEmpty());
      }

      HostValue record{};
      ValueResult written;
      written.SetString("gives the result its arena before counting");
      written.Clear();
      const uint64_t outstanding = mem::OutstandingAllocations();
      EXPECT_FALSE(WriteHostValue(written, record, deeper, nullptr));
      EXPECT_EQ(mem::OutstandingAllocations(), outstanding) << "what was written before the refusal is freed";
      EXPECT_EQ(written.ErrorMessage(), tooDeepToWrite);
      EXPECT_EQ(Kind(record), 0u);
      written.Clear();
      // The one-block writer: the same refusal, and its block is freed too.
      EXPECT_FALSE(WriteHostValueBlock(written, record, deeper, nullptr));
      EXPECT_EQ(mem::OutstandingAllocations(), outstanding) << "the block is freed with the refusal";
      EXPECT_EQ(written.ErrorMessage(), tooDeepToWrite);
      EXPECT_EQ(Kind(record), 0u);
      written.Clear();
      ASSERT_TRUE(WriteHostValueBlock(written, record, tree, nullptr)) << written.ErrorMessage();
      {
        Value back;
        ValueResult read;
        ASSERT_TRUE(ReadHostValue(read, back, record, "v")) << read.ErrorMessage();
        EXPECT_TRUE(back == tree);
      }
      ReleaseHostValueBlock(record);
      EXPECT_EQ(mem::OutstandingAllocations(), outstanding);
      ASSERT_TRUE(WriteHostValue(written, record, tree, nullptr)) << written.ErrorMessage();

      ValueResult read;
      Value back;
      ASSERT_TRUE(ReadHostValue(read, back, record, "v")) << read.ErrorMessage();
      EXPECT_TRUE(back == tree);
      // The same record one level down is one level too deep.
      HostValue outer{};
      outer.kind = KIV_HOST_VALUE_COLLECTION;
      outer.u.collection.items = &record;
      outer.u.collection.count = 1;
      EXPECT_FALSE(ReadHostValue(read, back, outer, "v"));
      EXPECT_EQ(read.ErrorMessage(), tooDeepToRead);
      EXPECT_TRUE(back.IsEmpty());

#if KIV_DEEP_TREE_HOST
      kivhost::json rendered;
      kivhost::ReadResult shown = kivhost::HostValueToJson(record, &rendered);
      ASSERT_TRUE(shown.ok) << shown.error;
      const std::string text = kivhost::DumpJson(rendered);
      kivhost::json parsed;
      std::string why;
      ASSERT_TRUE(kivhost::ParseJson(text, &parsed, &why)) << why;
      EXPECT_EQ(kivhost::DumpJson(parsed, 2), kivhost::DumpJson(rendered, 2));
      EXPECT_TRUE(kivhost::JsonContains(parsed, rendered));
      {
        const kivhost::OwnedHostValue rebuilt(parsed);
        ValueResult again;
        Value fromHost;
        ASSERT_TRUE(ReadHostValue(again, fromHost, rebuilt.get(), "v")) << again.ErrorMessage();
        EXPECT_TRUE(fromHost == tree);
      }
      shown = kivhost::HostValueToJson(outer, &rendered);
      EXPECT_FALSE(shown.ok);
      const std::string tail = "value nested deeper than " + std::to_string(kMaxValueDepth) + " levels";
      EXPECT_EQ(shown.error.substr(shown.error.size() - std::min(shown.error.size(), tail.size())), tail);
      EXPECT_FALSE(kivhost::ParseJson("[" + text + "]", &parsed, &why));
      EXPECT_EQ(why, "nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
#endif

      ReleaseHostValue(record);
      EXPECT_EQ(Kind(record), 0u);
    });
  }
  // A scalar below the bound is as deep as a container there.
  Value scalarBelow;
  Value* v = &scalarBelow;
  for (std::size_t level = 1; level < kMaxValueDepth; ++level) v = &v->Append();
  v->Append().SetSigned(1);
  HostValue record{};
  ValueResult written;
  EXPECT_FALSE(WriteHostValue(written, record, scalarBelow, nullptr));
  EXPECT_EQ(written.ErrorMessage(), tooDeepToWrite);
  EXPECT_EQ(Kind(record), 0u);
}

// A native structure that nests through a vector of itself.
struct Node {
  Vector<Node> children;
  String name;
};

// Native chains are taken apart from the top: the vectors' own destructors
// would recurse once per level.
void Dismantle(Node& node) {
  Vector<Node> level = std::move(node.children);
  while (!level.empty()) {
    Vector<Node> below = std::move(level.back().children);
    level = std::move(below);
  }
}

TEST(DeepTree, ConversionKeepsItsOwnStackAtAnyDepth) {
  TypeRegistry registry;
  InstallConverters(registry);
  registry.BeginStruct<Node>("Node").Field("name", &Node::name).Field("children", &Node::children);
  // At the bound and far past it: conversion has no bound of its own.
  for (std::size_t depth : {kMaxValueDepth, 64 * kMaxValueDepth}) {
    SCOPED_TRACE(depth);
    // Structures at the odd levels, their "children" collections at the even
    // ones; the innermost collection is empty and at level `depth`.
    Value tree;
    Value* node = &tree;
    Value* bottom = nullptr;
    for (std::size_t level = 1; level < depth; level += 2) {
      node->Member("name").SetString("n");
      Value& children = node->Member("children");
      children.MakeCollection();
      bottom = node;
      if (level + 2 < depth) node = &children.Append();
    }
    Node native;
    Node broken;
    OnSmallStack([&] {
      ValueResult result;
      FromValue(result, native, tree, "node", registry);
      ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
      ToValue(result, native, registry);
      ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
      EXPECT_TRUE(static_cast<const Value&>(result) == tree);

      // A failure at the bottom reaches the caller, named as there.
      bottom->Member("children").SetString("x");
      result.Clear();
      FromValue(result, broken, tree, "node", registry);
      EXPECT_EQ(result.ErrorMessage(),
                "Couldn't assign value to 'children' of type vector because the input not a collection.");
    });
    Dismantle(native);
    Dismantle(broken);
  }
}

}  // namespace
}  // namespace kiv::binding
