// Read-only structural summaries of a DAG: topological layers and the inspection record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "graph.hpp"

namespace velmora {

// Layer 0 holds the nodes without parents; layer k+1 the unplaced nodes whose parents all
// lie in layers 0..k. Within a layer ids ascend. On a graph with a cycle the nodes on it, and
// everything below them, are in no layer.
std::vector<std::vector<NodeId>> topological_layers(const Dag& dag);

struct DagSummary {
  std::size_t n_nodes = 0;
  std::size_t n_edges = 0;
  bool is_rooted_tree = false;
  std::size_t n_roots = 0;
  std::size_t n_leaves = 0;
  std::size_t max_depth = 0;  // layers minus one, 0 without layers
  // A fixed table by size and shape, not the explainer's automatic selection.
  std::string_view recommended_method;
  std::optional<std::uint64_t> estimated_dense_states;  // 2^n for n < 64
};

DagSummary summarize(const Dag& dag);

}  // namespace velmora
