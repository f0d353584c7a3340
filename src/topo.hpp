// Topological orders of a DAG, produced one at a time by backtracking.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "graph.hpp"

namespace velmora {

// Scratch state of one enumeration, sized once: per node the number of parents not yet
// placed, the ready set (unplaced nodes whose parents are all placed) as a bitmap, one
// snapshot of that bitmap per depth, and the current prefix used as a stack.
struct TopoScratch {
  std::size_t words = 0;
  std::vector<std::uint32_t> pending;
  std::vector<std::uint64_t> ready;
  std::vector<std::uint64_t> snapshots;
  std::vector<NodeId> prefix;
};

// Depth-first step over the orders of `dag`; k nodes are still to be placed. Before pushing a
// candidate c it calls `visit.enter(prefix, c)` (a failure stops the walk and is returned);
// with all nodes placed it calls `visit.complete(prefix)`. The candidates of a level are the
// ready nodes in ascending id order, fixed on entry (a child freed by placing one candidate
// becomes a candidate only one level deeper); so complete orders arrive in lexicographic
// order of their id sequences, each exactly once.
template <typename Visitor>
Status backtrack(const Dag& dag, TopoScratch& s, Visitor& visit, std::size_t k) {
  if (k == 0) return visit.complete(std::span<const NodeId>(s.prefix));
  const std::size_t words = s.words;
  std::uint64_t* const snapshot = s.snapshots.data() + s.prefix.size() * words;
  std::copy(s.ready.begin(), s.ready.end(), snapshot);
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t bits = snapshot[w]; bits != 0; bits &= bits - 1) {
      const NodeId c(64 * w + static_cast<std::size_t>(std::countr_zero(bits)));
      if (auto st = visit.enter(std::span<const NodeId>(s.prefix), c); !st) return st;
      const std::uint64_t bit = bits & -bits;
      s.ready[w] &= ~bit;
      for (NodeId child : dag.children(c)) {
        if (--s.pending[child.index()] == 0) {
          s.ready[child.index() / 64] |= std::uint64_t{1} << (child.index() % 64);
        }
      }
      s.prefix.push_back(c);
      Status st = backtrack(dag, s, visit, k - 1);
      s.prefix.pop_back();
      for (NodeId child : dag.children(c)) {
        if (s.pending[child.index()]++ == 0) {
          s.ready[child.index() / 64] &= ~(std::uint64_t{1} << (child.index() % 64));
        }
      }
      s.ready[w] |= bit;
      if (!st) return st;
    }
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
  s.words = (n + 63) / 64;
  s.pending.resize(n);
  s.ready.assign(s.words, 0);
  for (std::size_t v = 0; v < n; ++v) {
    s.pending[v] = static_cast<std::uint32_t>(dag.parents(NodeId(v)).size());
    if (s.pending[v] == 0) s.ready[v / 64] |= std::uint64_t{1} << (v % 64);
  }
  s.snapshots.resize(n * s.words);
  s.prefix.reserve(n);
  return backtrack(dag, s, visit, n);
}

// Every topological order, stored; for small graphs and tests (the exact method streams).
Result<std::vector<std::vector<NodeId>>> enumerate_topos(const Dag& dag);

}  // namespace velmora
