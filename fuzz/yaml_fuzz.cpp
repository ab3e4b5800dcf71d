// The YAML reader on arbitrary bytes: every input ends in a value or a
// message, the tree stays within the nesting bound, and alias copies stay
// within the expansion bound.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "readers/yaml_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

using kiv::binding::Value;

struct Shape {
  std::size_t nodes = 0;
  std::size_t deepest = 0;
  bool hasNan = false;  // NaN is unequal to itself, and so is a tree holding one
};

// Nodes and nesting of a tree, without recursion.
Shape Measure(const Value& root) {
  Shape shape;
  std::vector<std::pair<const Value*, std::size_t>> work{{&root, 0}};
  while (!work.empty()) {
    const auto [value, level] = work.back();
    work.pop_back();
    ++shape.nodes;
    if (value->Kind() == kiv::binding::ValueKind::Float && std::isnan(value->AsFloat())) shape.hasNan = true;
    if (value->IsCollection() || value->IsStructure()) {
      if (level + 1 > shape.deepest) shape.deepest = level + 1;
      for (const Value& element : value->Elements()) work.emplace_back(&element, level + 1);
      for (const auto& member : value->Members()) work.emplace_back(&member.value(), level + 1);
    }
  }
  return shape;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kiv::binding::ValueResult result = kiv::codecs::ReadYaml(text);
  if (!result.Succeeded()) {
    Check(!result.ErrorMessage().empty());
    Check(result.IsStructure() && result.Size() == 1);
    return 0;
  }
  const Shape shape = Measure(result);
  Check(shape.deepest <= kiv::codecs::kYamlMaxNesting);
  // Every node comes from the text or from alias copies charged to its budget.
  Check(shape.nodes <= 2 * size + 2 + size + kiv::codecs::kTreeNodeAllowance);
  // The tree is well formed: a deep copy equals it.
  const Value copy(result);
  Check(shape.hasNan || copy == result);
  Check(Measure(copy).nodes == shape.nodes);
  (void)kiv::codecs::LooksLikeYaml(text);
  return 0;
}
