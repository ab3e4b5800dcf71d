// The stack of open containers of an iterative tree walk.
#pragma once

#include <cstddef>

#include "logging/memory.h"

namespace kiv::binding {

// A stack whose first levels live inline: most data nests a few levels, and
// walking it then allocates nothing. Frames popped stay in their slots until
// pushed over.
template <typename Frame, std::size_t kInline = 8>
class WalkStack {
 public:
  WalkStack() = default;
  WalkStack(const WalkStack&) = delete;
  WalkStack& operator=(const WalkStack&) = delete;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  Frame& operator[](std::size_t index) { return data_[index]; }
  Frame& back() { return data_[size_ - 1]; }
  // The new top, as its slot was last left: the caller sets every field.
  Frame& Push() {
    if (size_ == capacity_) Grow();
    return data_[size_++];
  }
  void push_back(const Frame& frame) { Push() = frame; }
  void Pop() { --size_; }
  void pop_back() { --size_; }

 private:
  void Grow() {
    Vector<Frame> larger(capacity_ * 2);
    for (std::size_t i = 0; i < size_; ++i) larger[i] = static_cast<Frame&&>(data_[i]);
    heap_ = static_cast<Vector<Frame>&&>(larger);
    data_ = heap_.data();
    capacity_ = heap_.size();
  }

  Frame inline_[kInline];
  Vector<Frame> heap_;
  Frame* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

}  // namespace kiv::binding
