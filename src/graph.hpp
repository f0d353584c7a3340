// The DAG store: named nodes with dense ids, both edge directions kept.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include "error.hpp"

namespace velmora {

class Dag {
 public:
  Dag() = default;

  // Id of `name`, creating the node when it is new. Throws std::length_error past 2^32 nodes
  // (ids are 32 bits) and bad_alloc; either leaves the store unchanged.
  NodeId add_node(std::string_view name);
  // Adds from -> to; refuses self-loops, unknown ids and duplicates before changing anything.
  Status add_edge(NodeId from, NodeId to);
  // Non-empty and acyclic (Kahn's algorithm).
  Status validate() const;
  // New store with only `ids` (ascending old-id order) and the edges among them.
  Result<Dag> induced_subgraph(std::span<const NodeId> ids) const;

  std::size_t size() const { return names_.size(); }
  bool empty() const { return names_.empty(); }
  std::size_t num_edges() const { return num_edges_; }
  bool contains(NodeId id) const { return id.index() < names_.size(); }
  const std::string& name(NodeId id) const { return names_[id.index()]; }
  const std::vector<std::string>& names() const { return names_; }
  std::optional<NodeId> find(std::string_view name) const;
  std::span<const NodeId> children(NodeId id) const { return children_[id.index()]; }
  std::span<const NodeId> parents(NodeId id) const { return parents_[id.index()]; }
  // Ids 0..n-1 in ascending order.
  std::vector<NodeId> all_nodes() const;

 private:
  absl::flat_hash_map<std::string, NodeId> index_;
  std::vector<std::string> names_;
  std::vector<std::vector<NodeId>> children_;
  std::vector<std::vector<NodeId>> parents_;
  std::size_t num_edges_ = 0;
  // Edges out of nodes with many children, keyed from << 32 | to: the duplicate test stays a
  // short scan for ordinary nodes and a hash probe for hubs, so building a star is linear.
  absl::flat_hash_set<std::uint64_t> hub_edges_;
};

}  // namespace velmora
