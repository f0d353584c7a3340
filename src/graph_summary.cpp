#include "graph_summary.hpp"

#include <algorithm>

#include "tree.hpp"

namespace velmora {

std::vector<std::vector<NodeId>> topological_layers(const Dag& dag) {
  const std::size_t n = dag.size();
  std::vector<std::size_t> pending(n);
  std::vector<NodeId> layer;
  for (std::size_t v = 0; v < n; ++v) {
    pending[v] = dag.parents(NodeId(v)).size();
    if (pending[v] == 0) layer.push_back(NodeId(v));
  }
  // Every unplaced node whose count is zero after a layer reached zero while that layer was
  // peeled, so collecting those (and sorting them) gives the next layer without a rescan.
  std::vector<std::vector<NodeId>> layers;
  while (!layer.empty()) {
    std::vector<NodeId> next;
    for (NodeId v : layer) {
      for (NodeId c : dag.children(v)) {
        if (--pending[c.index()] == 0) next.push_back(c);
      }
    }
    std::sort(next.begin(), next.end());
    layers.push_back(std::move(layer));
    layer = std::move(next);
  }
  return layers;
}

DagSummary summarize(const Dag& dag) {
  DagSummary s;
  s.n_nodes = dag.size();
  s.n_edges = dag.num_edges();
  for (std::size_t v = 0; v < s.n_nodes; ++v) {
    if (dag.parents(NodeId(v)).empty()) ++s.n_roots;
    if (dag.children(NodeId(v)).empty()) ++s.n_leaves;
  }
  const std::size_t layers = topological_layers(dag).size();
  s.max_depth = layers == 0 ? 0 : layers - 1;
  s.is_rooted_tree = find_rooted_tree_root(dag).has_value();
  if (s.n_nodes < 9) {
    s.recommended_method = "exact";
  } else if (s.is_rooted_tree) {
    s.recommended_method = "exact_tree";
  } else if (s.n_nodes <= 20) {
    s.recommended_method = "exact_dag";
  } else {
    s.recommended_method = "approx";
  }
  if (s.n_nodes < 64) s.estimated_dense_states = std::uint64_t{1} << s.n_nodes;
  return s;
}

}  // namespace velmora
