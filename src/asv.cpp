#include "asv.hpp"

#include "dag_dp.hpp"
#include "dag_dp_sparse.hpp"
#include "tree.hpp"

namespace velmora {

namespace {

// Methods whose algorithms have not landed yet answer with a clear refusal.
Result<AsvResult> not_available(const char* method) {
  return std::unexpected(
      VelmoraError::invalid_config(std::string(method) + " is not available in this build"));
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

Result<AsvResult> AsvExplainer::exact(ValueFunction) const { return not_available("exact"); }
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
