// Insertion-ordered node sets, their expansions, and the d-convex hulls built on them.
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

// The d-convex hull: grows `set` (taken over, members below dag.size()) by the hidden inner
// nodes of shortest moral paths between its non-adjacent members until nothing changes.
// The result keeps the members' order and appends the added nodes in order of addition.
Result<NodeSet> d_convex_closure(const Dag& dag, NodeSet set);

// Alternates the d-convex hull with adding the parents of colliders that are hidden, lie
// above the set and have non-adjacent parents not both in it, until neither adds anything.
// `ids` in the caller's order, repeats allowed; the first id outside the graph is refused.
Result<NodeSet> strong_d_convex_hull(const Dag& dag, std::span<const NodeId> ids);

// One pass of the hull: the inner nodes of one shortest path for every non-adjacent pair of
// members next to the hidden nodes, in the order the pairs and paths are met.
NodeSet shortest_inducing_path_vertices(const Dag& dag, const NodeSet& set);

// Adjacency lists (one per node of the graph) of the moral graph of the subgraph induced by
// the ancestral set `ancestral`: its edges, then the marriages of each member's parents.
std::vector<std::vector<NodeId>> moralize(const Dag& dag, const NodeSet& ancestral);

}  // namespace velmora
