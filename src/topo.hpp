// Topological orders of a DAG, produced one at a time by backtracking.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "graph.hpp"

namespace velmora {

// Scratch state of one enumeration, sized once: in-degree counters (a placed node holds the
// sentinel), the current prefix used as a stack, and one candidate slice of n ids per depth.
struct TopoScratch {
  static constexpr std::uint64_t kPlaced = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> counters;
  std::vector<NodeId> prefix;
  std::vector<NodeId> candidates;
};

// Depth-first step over the orders of `dag`; k nodes are still to be placed. Before pushing a
// candidate c it calls `visit.enter(prefix, c)` (a failure stops the walk and is returned);
// with all nodes placed it calls `visit.complete(prefix)`. Candidates are the nodes whose
// counter is 0, in ascending id order, fixed on entry; so complete orders arrive in
// lexicographic order of their id sequences and each exactly once.
template <typename Visitor>
Status backtrack(const Dag& dag, TopoScratch& s, Visitor& visit, std::size_t k) {
  if (k == 0) return visit.complete(std::span<const NodeId>(s.prefix));
  const std::size_t n = s.counters.size();
  // The candidate set is fixed before any of them is placed; a child freed by placing one
  // candidate becomes a candidate only one level deeper.
  NodeId* const slice = s.candidates.data() + (n - k) * n;
  std::size_t count = 0;
  for (std::size_t v = 0; v < n; ++v) {
    if (s.counters[v] == 0) slice[count++] = NodeId(v);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const NodeId c = slice[i];
    if (auto st = visit.enter(std::span<const NodeId>(s.prefix), c); !st) return st;
    s.counters[c.index()] = TopoScratch::kPlaced;
    for (NodeId child : dag.children(c)) --s.counters[child.index()];
    s.prefix.push_back(c);
    Status st = backtrack(dag, s, visit, k - 1);
    s.prefix.pop_back();
    for (NodeId child : dag.children(c)) ++s.counters[child.index()];
    s.counters[c.index()] = 0;
    if (!st) return st;
  }
  return {};
}

// Walks every topological order of `dag` without storing them. Validates first and
// returns its failure unchanged (EmptyGraph, Cycle).
template <typename Visitor>
Status visit_topos(const Dag& dag, Visitor& visit) {
  if (auto st = dag.validate(); !st) return st;
  const std::size_t n = dag.size();
  TopoScratch s;
  s.counters.resize(n);
  for (std::size_t v = 0; v < n; ++v) s.counters[v] = dag.parents(NodeId(v)).size();
  s.prefix.reserve(n);
  s.candidates.resize(n * n);
  return backtrack(dag, s, visit, n);
}

// Every topological order, stored. For small graphs and tests; the exact method streams.
Result<std::vector<std::vector<NodeId>>> enumerate_topos(const Dag& dag);

}  // namespace velmora
