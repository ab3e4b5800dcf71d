#include "readers/tree_builder.h"

namespace kiv::codecs {

using binding::Value;

bool TreeBuilder::OpenObject(Value& place, uint32_t declared, std::size_t start) {
  if (frames_.size() >= kMaxContainerDepth) return Refuse(Stop::kTooDeep);
  const bool reopened = place.IsStructure() && place.Size() != 0;
  place.MakeStructure();
  if (reopened) {
    // Its names enter the index: a cost of the repeated name, not of input.
    if (!Charge(place.Size(), 0)) return false;
    frames_.push_back(Frame{&place, true, declared, declared, start, keys_.Reopen(place, frames_.size())});
  } else {
    frames_.push_back(Frame{&place, true, declared, declared, start, keys_.Open(frames_.size())});
  }
  array_ = nullptr;
  return true;
}

bool TreeBuilder::OpenArray(Value& place, uint32_t declared, std::size_t start) {
  if (frames_.size() >= kMaxContainerDepth) return Refuse(Stop::kTooDeep);
  place.MakeCollection();  // an earlier array under a repeated name keeps its elements
  frames_.push_back(Frame{&place, false, declared, declared, start, detail::ObjectKeys{}});
  array_ = &place;
  return true;
}

Value TreeBuilder::Take() {
  while (!frames_.empty()) Close();
  keys_.Release();
  Value tree;
  tree.MoveFrom(root_);
  return tree;
}

}  // namespace kiv::codecs
