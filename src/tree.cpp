#include "tree.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "cache.hpp"

namespace velmora {

namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

std::uint64_t mul_sat(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  return __builtin_mul_overflow(a, b, &out) ? kSaturated : out;
}

std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  return __builtin_add_overflow(a, b, &out) ? kSaturated : out;
}

// Nodes of the subtree of `root` with every parent before its children (children in stored
// order, depth first). Iterative: trees may be deep chains.
std::vector<NodeId> preorder(const Dag& dag, NodeId root) {
  std::vector<NodeId> order;
  std::vector<NodeId> stack{root};
  while (!stack.empty()) {
    const NodeId v = stack.back();
    stack.pop_back();
    order.push_back(v);
    const auto kids = dag.children(v);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(*it);
  }
  return order;
}

// I(v) = 1 + product of I over the children of v (a leaf has 2), saturating; a saturated
// product stays saturated.
std::vector<std::uint64_t> dfs_ideal_counts(const Dag& dag, std::span<const NodeId> pre) {
  std::vector<std::uint64_t> ideals(dag.size(), 0);
  for (auto it = pre.rbegin(); it != pre.rend(); ++it) {
    std::uint64_t product = 1;
    for (NodeId c : dag.children(*it)) product = mul_sat(product, ideals[c.index()]);
    ideals[it->index()] = product == kSaturated ? kSaturated : product + 1;
  }
  return ideals;
}

// Subtree sizes over the whole tree.
std::vector<std::uint64_t> dfs_sizes(const Dag& dag, std::span<const NodeId> pre) {
  std::vector<std::uint64_t> sizes(dag.size(), 0);
  for (auto it = pre.rbegin(); it != pre.rend(); ++it) {
    std::uint64_t size = 1;
    for (NodeId c : dag.children(*it)) size += sizes[c.index()];
    sizes[it->index()] = size;
  }
  return sizes;
}

// Ordered product of lists of sets: the first list varies slowest; a combination is the
// union of its parts (sets are masks, so the union is already ascending).
std::vector<CoalitionMask> cartesian_product_vecs(
    std::span<const std::vector<CoalitionMask>> lists) {
  std::vector<CoalitionMask> combos{0};
  std::vector<CoalitionMask> next;
  for (const auto& list : lists) {
    next.clear();
    next.reserve(combos.size() * list.size());
    for (CoalitionMask c : combos) {
      for (CoalitionMask x : list) next.push_back(c | x);
    }
    combos.swap(next);
  }
  return combos;
}

// All ideals of the subtree of v: the empty set, then {v} with one ideal per child.
std::vector<CoalitionMask> tree_ideals(const Dag& dag, NodeId v) {
  std::vector<std::vector<CoalitionMask>> per_child;
  for (NodeId c : dag.children(v)) per_child.push_back(tree_ideals(dag, c));
  std::vector<CoalitionMask> out{0};
  const CoalitionMask self = CoalitionMask{1} << v.index();
  for (CoalitionMask c : cartesian_product_vecs(per_child)) out.push_back(self | c);
  return out;
}

// All unions of one ideal per subtree rooted at `nodes`.
std::vector<CoalitionMask> enumerate_order_ideals(const Dag& dag, std::span<const NodeId> nodes) {
  std::vector<std::vector<CoalitionMask>> lists;
  lists.reserve(nodes.size());
  for (NodeId v : nodes) lists.push_back(tree_ideals(dag, v));
  return cartesian_product_vecs(lists);
}

}  // namespace

Result<NodeId> find_rooted_tree_root(const Dag& dag) {
  std::optional<NodeId> root;
  std::size_t roots = 0;
  for (std::size_t v = 0; v < dag.size(); ++v) {
    if (dag.parents(NodeId(v)).empty()) {
      ++roots;
      if (!root) root = NodeId(v);
    }
  }
  if (roots != 1) return std::unexpected(VelmoraError::not_rooted_tree());
  for (std::size_t v = 0; v < dag.size(); ++v) {
    if (NodeId(v) != *root && dag.parents(NodeId(v)).size() != 1) {
      return std::unexpected(VelmoraError::not_rooted_tree());
    }
  }
  return *root;
}

TreeCostEstimate estimate_tree_exact_cost(const Dag& dag, NodeId root, std::uint64_t side_budget,
                                          std::uint64_t work_budget) {
  const std::vector<NodeId> pre = preorder(dag, root);
  const std::vector<std::uint64_t> ideals = dfs_ideal_counts(dag, pre);
  // B(root) = 1; B(c) = B(v) * product of I over the siblings of c. Parents come before
  // children in preorder, so B(v) is final when v is reached.
  std::vector<std::uint64_t> side(dag.size(), 0);
  side[root.index()] = 1;
  std::uint64_t largest = 0;
  std::uint64_t total = 0;
  std::vector<std::uint64_t> suffix;
  for (NodeId v : pre) {
    const std::uint64_t b = side[v.index()];
    largest = std::max(largest, b);
    total = add_sat(total, b);
    const auto kids = dag.children(v);
    suffix.assign(kids.size() + 1, 1);
    for (std::size_t k = kids.size(); k-- > 0;) {
      suffix[k] = mul_sat(suffix[k + 1], ideals[kids[k].index()]);
    }
    std::uint64_t prefix = 1;
    for (std::size_t k = 0; k < kids.size(); ++k) {
      side[kids[k].index()] = mul_sat(mul_sat(prefix, suffix[k + 1]), b);
      prefix = mul_sat(prefix, ideals[kids[k].index()]);
    }
  }
  return TreeCostEstimate{largest, side_budget, total, work_budget,
                          largest <= side_budget && total <= work_budget};
}

Result<AsvResult> tree_exact_asv(const Dag& dag, const ValueFunction& f) {
  auto found = find_rooted_tree_root(dag);
  if (!found) return std::unexpected(std::move(found.error()));
  const NodeId root = *found;
  const std::vector<NodeId> pre = preorder(dag, root);
  const std::vector<std::uint64_t> sizes = dfs_sizes(dag, pre);
  const std::size_t n = dag.size();
  if (n > 64) {
    return std::unexpected(VelmoraError::invalid_config("bitmask coalitions require n ≤ 64, got " +
                                                        std::to_string(n)));
  }

  // ln k for k = 0..n (entry 0 unused), the log-factorials accumulated from them, and the
  // log of every full-tree subtree size.
  std::vector<double> ln(n + 1, 0.0);
  std::vector<double> lf(n + 1, 0.0);
  for (std::size_t k = 1; k <= n; ++k) {
    ln[k] = std::log(static_cast<double>(k));
    lf[k] = lf[k - 1] + ln[k];
  }
  std::vector<double> log_size(n, 0.0);
  for (NodeId v : pre) log_size[v.index()] = ln[sizes[v.index()]];
  std::vector<NodeId> parent(n, root);
  for (NodeId v : pre) {
    for (NodeId c : dag.children(v)) parent[c.index()] = v;
  }

  // Orders of an ideal S (ln): hook-length formula with subtree sizes inside S. Sizes are
  // pushed up to parents in reverse preorder, so a node's size is final before it is passed on.
  std::vector<std::uint64_t> size_in_s(n, 0);
  auto log_lin_ext_of_s = [&](CoalitionMask s) {
    if (s == 0) return 0.0;
    for (CoalitionMask rest = s; rest != 0; rest &= rest - 1) size_in_s[std::countr_zero(rest)] = 1;
    for (auto it = pre.rbegin(); it != pre.rend(); ++it) {
      const std::size_t v = it->index();
      if (*it != root && ((s >> v) & 1U)) size_in_s[parent[v].index()] += size_in_s[v];
    }
    double hooks = -0.0;
    for (CoalitionMask rest = s; rest != 0; rest &= rest - 1) {
      hooks += ln[size_in_s[std::countr_zero(rest)]];
    }
    return lf[static_cast<std::size_t>(std::popcount(s))] - hooks;
  };

  std::vector<double> acc(n, 0.0);
  ValueCache cache;
  std::vector<NodeId> path;
  std::vector<NodeId> side_children;
  std::vector<std::vector<CoalitionMask>> options;
  for (std::size_t wi = 0; wi < n; ++wi) {
    const NodeId w = NodeId(wi);
    // Path root = a0, ..., ak = w; each step offers the ideals of the side subtrees of a(i-1).
    path.clear();
    for (NodeId v = w; v != root; v = parent[v.index()]) path.push_back(v);
    path.push_back(root);
    std::reverse(path.begin(), path.end());
    CoalitionMask ancestors = 0;
    options.clear();
    for (std::size_t i = 1; i < path.size(); ++i) {
      ancestors |= CoalitionMask{1} << path[i - 1].index();
      side_children.clear();
      for (NodeId c : dag.children(path[i - 1])) {
        if (c != path[i]) side_children.push_back(c);
      }
      options.push_back(enumerate_order_ideals(dag, side_children));
    }
    const std::vector<CoalitionMask> preds = cartesian_product_vecs(options);

    const CoalitionMask self = CoalitionMask{1} << wi;
    for (CoalitionMask side : preds) {
      const CoalitionMask s = side | ancestors;
      const CoalitionMask with = s | self;
      const auto count = static_cast<std::size_t>(std::popcount(s));
      const double log_orders = log_lin_ext_of_s(s);
      double hooks = -0.0;
      for (CoalitionMask rest = with; rest != 0; rest &= rest - 1) {
        hooks += log_size[std::countr_zero(rest)];
      }
      const double weight = std::exp((hooks + (log_orders + lf[n - count - 1])) - lf[n]);
      auto v_with = value_cached(cache, f, with);
      if (!v_with) return std::unexpected(std::move(v_with.error()));
      auto v_without = value_cached(cache, f, s);
      if (!v_without) return std::unexpected(std::move(v_without.error()));
      acc[wi] += weight * (*v_with - *v_without);
    }
  }

  AsvResult result;
  result.values = std::move(acc);
  result.n_samples = 0;
  result.is_exact = true;
  return result;
}

}  // namespace velmora
