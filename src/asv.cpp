#include "asv.hpp"

#include <array>
#include <bit>
#include <memory>

#include "cache.hpp"
#include "dag_dp.hpp"
#include "dag_dp_sparse.hpp"
#include "topo.hpp"
#include "tree.hpp"

namespace velmora {

namespace {

// Methods whose algorithms have not landed yet answer with a clear refusal.
Result<AsvResult> not_available(const char* method) {
  return std::unexpected(
      VelmoraError::invalid_config(std::string(method) + " is not available in this build"));
}

// Graphs of up to this many nodes keep their values in a table indexed by mask (2^n slots,
// at most 512 KiB) instead of a hash map: the walk looks a value up at every step of every
// order, and a direct index is several times cheaper than a hash probe.
constexpr std::size_t kDenseValueNodes = 16;

// Evaluates one coalition, its ascending ids built on the stack: a miss costs the value
// function's own work and nothing of ours on the heap.
Result<double> evaluate_mask(const ValueFunction& f, CoalitionMask mask) {
  std::array<NodeId, 64> ids;
  std::size_t count = 0;
  for (; mask != 0; mask &= mask - 1) {
    ids[count++] = NodeId(static_cast<std::uint32_t>(std::countr_zero(mask)));
  }
  return f(std::span<const NodeId>(ids.data(), count));
}

class DenseValueCache {
 public:
  explicit DenseValueCache(std::size_t n)
      : known_(((std::size_t{1} << n) + 63) / 64, 0), values_(new double[std::size_t{1} << n]) {}

  // The cached value of `mask`, evaluating and storing it on a miss; a failure stores nothing.
  Result<double> get(const ValueFunction& f, CoalitionMask mask) {
    if ((known_[mask / 64] >> (mask % 64)) & 1U) return values_[mask];
    auto value = evaluate_mask(f, mask);
    if (!value) return value;
    values_[mask] = *value;
    known_[mask / 64] |= std::uint64_t{1} << (mask % 64);
    return value;
  }

 private:
  std::vector<std::uint64_t> known_;
  std::unique_ptr<double[]> values_;  // left uninitialised: only known slots are read
};

class HashValueCache {
 public:
  explicit HashValueCache(std::size_t) {}
  Result<double> get(const ValueFunction& f, CoalitionMask mask) {
    if (auto it = cache_.find(mask); it != cache_.end()) return it->second;
    auto value = evaluate_mask(f, mask);
    if (value) cache_.emplace(mask, *value);
    return value;
  }

 private:
  ValueCache cache_;
};

// Exact ASV walked along the enumeration: each node's "with" value is looked up when it is
// pushed, its "without" value is the one its parent level looked up, and every complete
// order adds the marginal of each position to that node's sum. The value-function calls
// and the floating-point operations are those of walking every stored order in turn
// (with before without, (with - without) + sum per position, orders in lexicographic
// order), at O(n) memory.
template <typename Cache>
struct ExactWalk {
  const ValueFunction& f;
  Cache cache;
  std::vector<CoalitionMask> masks;  // masks[d]: the first d nodes of the prefix
  std::vector<double> values;        // values[d]: v(masks[d]); values[0] known once fetched
  std::vector<double> deltas;        // deltas[d]: the marginal of the node at position d
  std::vector<double> sums;
  std::size_t orders = 0;
  bool have_empty = false;

  ExactWalk(const ValueFunction& fn, std::size_t n)
      : f(fn), cache(n), masks(n + 1, 0), values(n + 1, 0.0), deltas(n, 0.0), sums(n, 0.0) {}

  Status enter(std::span<const NodeId> prefix, NodeId c) {
    const std::size_t d = prefix.size();
    const CoalitionMask with = masks[d] | (CoalitionMask{1} << c.index());
    auto v_with = cache.get(f, with);
    if (!v_with) return std::unexpected(v_with.error());
    if (!have_empty) {
      // The empty coalition is the very first "without" lookup.
      auto v_empty = cache.get(f, 0);
      if (!v_empty) return std::unexpected(v_empty.error());
      values[0] = *v_empty;
      have_empty = true;
    }
    masks[d + 1] = with;
    values[d + 1] = *v_with;
    deltas[d] = *v_with - values[d];
    return {};
  }

  Status complete(std::span<const NodeId> order) {
    for (std::size_t d = 0; d < order.size(); ++d) {
      double& sum = sums[order[d].index()];
      sum = deltas[d] + sum;
    }
    ++orders;
    return {};
  }
};

template <typename Cache>
Result<AsvResult> exact_walk(const Dag& dag, const ValueFunction& f) {
  const std::size_t n = dag.size();
  ExactWalk<Cache> walk(f, n);
  if (auto st = visit_topos(dag, walk); !st) return std::unexpected(st.error());
  AsvResult result;
  const double scale = 1.0 / static_cast<double>(walk.orders);
  result.values.resize(n);
  for (std::size_t i = 0; i < n; ++i) result.values[i] = walk.sums[i] * scale;
  result.n_samples = walk.orders;
  result.is_exact = true;
  return result;
}

}  // namespace

AsvExplainer::AsvExplainer(Dag dag) : dag_(std::move(dag)) {
  const std::size_t n = dag_.size();
  if (n <= 63) {
    parent_masks_.resize(n, 0);
    for (std::size_t v = 0; v < n; ++v) {
      for (NodeId p : dag_.parents(NodeId(v))) parent_masks_[v] |= CoalitionMask{1} << p.index();
    }
  }
  is_rooted_tree_ = find_rooted_tree_root(dag_).has_value();
}

Result<AsvResult> AsvExplainer::exact(ValueFunction f) const {
  if (auto st = dag_.validate(); !st) return std::unexpected(st.error());
  const std::size_t n = dag_.size();
  if (n > 64) {
    return std::unexpected(VelmoraError::invalid_config(
        "bitmask coalitions require n \u2264 64, got " + std::to_string(n)));
  }
  return n <= kDenseValueNodes ? exact_walk<DenseValueCache>(dag_, f)
                               : exact_walk<HashValueCache>(dag_, f);
}
Result<AsvResult> AsvExplainer::exact_dag(ValueFunction f) const {
  if (auto valid = dag_.validate(); !valid) return std::unexpected(std::move(valid.error()));
  return dag_exact_asv(dag_, parent_masks_, f);
}
Result<AsvResult> AsvExplainer::exact_dag_sparse(ValueFunction f) const {
  return exact_dag_sparse_with_config(std::move(f), SparseConfig{});
}
Result<AsvResult> AsvExplainer::exact_dag_sparse_with_config(ValueFunction f,
                                                             const SparseConfig& config) const {
  if (auto valid = dag_.validate(); !valid) return std::unexpected(std::move(valid.error()));
  return dag_exact_asv_sparse(dag_, config, parent_masks_, f);
}
Result<AsvResult> AsvExplainer::exact_tree(ValueFunction f) const {
  if (auto valid = dag_.validate(); !valid) return std::unexpected(std::move(valid.error()));
  auto root = find_rooted_tree_root(dag_);
  if (!root) return std::unexpected(std::move(root.error()));
  const TreeCostEstimate cost =
      estimate_tree_exact_cost(dag_, *root, kTreeSideBudget, kTreeWorkBudget);
  if (!cost.feasible) {
    return std::unexpected(VelmoraError::tree_budget_exceeded(
        cost.largest_side_product, cost.side_budget, cost.total_work, cost.work_budget));
  }
  return tree_exact_asv(dag_, f);
}
Result<AsvResult> AsvExplainer::approximate(ValueFunction, const SamplingConfig&) const {
  return not_available("approx");
}
Result<AsvResult> AsvExplainer::approximate_batched(BatchValueFunction,
                                                    const SamplingConfig&) const {
  return not_available("approx");
}
Result<AsvResult> AsvExplainer::approximate_uniform_sparse(ValueFunction,
                                                           const SamplingConfig&) const {
  return not_available("uniform_sparse");
}
Result<AsvResult> AsvExplainer::approximate_adaptive(ValueFunction, const AdaptiveConfig&) const {
  return not_available("approx_adaptive");
}
Result<AsvResult> AsvExplainer::approximate_adaptive_batched(BatchValueFunction,
                                                             const AdaptiveConfig&) const {
  return not_available("approx_adaptive_batch");
}
Result<AsvResult> AsvExplainer::approximate_uniform_sparse_adaptive(ValueFunction,
                                                                    const AdaptiveConfig&) const {
  return not_available("uniform_sparse_adaptive");
}
Result<AsvResult> AsvExplainer::approximate_uniform_sparse_adaptive_batched(
    BatchValueFunction, const AdaptiveConfig&) const {
  return not_available("uniform_sparse_adaptive_batch");
}
Result<AsvResult> AsvExplainer::auto_select(ValueFunction, const SamplingConfig&) const {
  return not_available("auto");
}
Result<AsvResult> AsvExplainer::auto_quality(ValueFunction, const AdaptiveConfig&) const {
  return not_available("auto_quality");
}

}  // namespace velmora
