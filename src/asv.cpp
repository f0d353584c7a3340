#include "asv.hpp"

#include "approx.hpp"
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
Result<AsvResult> AsvExplainer::exact_dag(ValueFunction) const {
  return not_available("exact_dag");
}
Result<AsvResult> AsvExplainer::exact_dag_sparse(ValueFunction) const {
  return not_available("exact_dag_sparse");
}
Result<AsvResult> AsvExplainer::exact_dag_sparse_with_config(ValueFunction,
                                                             const SparseConfig&) const {
  return not_available("exact_dag_sparse");
}
Result<AsvResult> AsvExplainer::exact_tree(ValueFunction) const {
  return not_available("exact_tree");
}
Result<AsvResult> AsvExplainer::approximate(ValueFunction f, const SamplingConfig& config) const {
  if (auto ok = dag_.validate(); !ok) return std::unexpected(ok.error());
  return approximate_asv(dag_, f, config.seed, config.num_threads, config.n_samples,
                         config.parallel);
}
Result<AsvResult> AsvExplainer::approximate_batched(BatchValueFunction f,
                                                    const SamplingConfig& config) const {
  if (auto ok = dag_.validate(); !ok) return std::unexpected(ok.error());
  return approximate_asv_batched(dag_, f, config.seed, config.batch_size, config.n_samples);
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
