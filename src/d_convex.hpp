// Insertion-ordered node sets and the set expansions behind the d-convex hulls.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "graph.hpp"

namespace velmora {

// Node set over the dense ids of one graph: members in insertion order plus a membership
// bitmap, so lookups are one index and iteration order is well defined.
class NodeSet {
 public:
  explicit NodeSet(std::size_t universe) : member_(universe, 0) {}

  // True when `id` was new; a present member keeps its position.
  bool insert(NodeId id) {
    char& m = member_[id.index()];
    if (m) return false;
    m = 1;
    order_.push_back(id);
    return true;
  }
  bool contains(NodeId id) const { return member_[id.index()] != 0; }
  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  std::size_t universe() const { return member_.size(); }
  NodeId operator[](std::size_t i) const { return order_[i]; }
  std::span<const NodeId> members() const { return order_; }
  auto begin() const { return order_.begin(); }
  auto end() const { return order_.end(); }

 private:
  std::vector<NodeId> order_;
  std::vector<char> member_;
};

// The input's members first, then every further ancestor in breadth-first discovery order.
NodeSet ancestors_or_self(const Dag& dag, const NodeSet& set);
// The input plus the direct children of its members (one step only).
NodeSet children_or_self(const Dag& dag, const NodeSet& set);

}  // namespace velmora
