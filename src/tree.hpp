// Rooted directed trees: the rooted-tree test, the cost estimate of the closed-form method
// and the method itself.
#pragma once

#include <cstdint>

#include "asv.hpp"
#include "graph.hpp"

namespace velmora {

// The single node without parents when every other node has exactly one parent;
// NotRootedTree otherwise (an empty graph included). Does not look for cycles.
Result<NodeId> find_rooted_tree_root(const Dag& dag);

// Budgets every caller passes to estimate_tree_exact_cost.
inline constexpr std::uint64_t kTreeSideBudget = 50000;
inline constexpr std::uint64_t kTreeWorkBudget = 200000;

struct TreeCostEstimate {
  std::uint64_t largest_side_product;  // max over nodes w of B(w), the sets that can precede w
  std::uint64_t side_budget;
  std::uint64_t total_work;  // sum of B(w) over all nodes, saturating
  std::uint64_t work_budget;
  bool feasible;  // largest_side_product <= side_budget && total_work <= work_budget
};

// Cost of tree_exact_asv on the subtree of `root`, saturating at 2^64 - 1; never fails.
TreeCostEstimate estimate_tree_exact_cost(const Dag& dag, NodeId root, std::uint64_t side_budget,
                                          std::uint64_t work_budget);

// Exact values of a rooted tree of at most 64 nodes by the hook-length formula; finds the
// root itself and applies no budget.
Result<AsvResult> tree_exact_asv(const Dag& dag, const ValueFunction& f);

}  // namespace velmora
