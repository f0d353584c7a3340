// The native explainer: a private validated graph copy, the facts derived from it once,
// one entry point per computation method, and the one result record of all methods.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "coalition.hpp"
#include "graph.hpp"

namespace velmora {

struct SamplingConfig {
  std::size_t n_samples = 10000;
  std::optional<std::uint64_t> seed;
  bool parallel = false;
  std::optional<std::size_t> num_threads;
  std::optional<std::size_t> batch_size;  // batched method only
};

struct AdaptiveConfig {
  std::optional<std::uint64_t> seed;
  std::size_t min_samples = 1000;
  std::size_t max_samples = 100000;
  std::size_t batch_size = 1000;
  double rel_tol = 0.01;
  double ess_ratio_min = 0.10;
};

struct SparseConfig {
  std::uint64_t max_nodes = 28;
  std::uint64_t memory_limit_bytes = 2147483648ULL;
};

struct AsvResult {
  std::vector<double> values;  // indexed by NodeId, one entry per node
  std::size_t n_samples = 0;
  bool is_exact = false;
  std::optional<double> ess;
  std::optional<std::vector<double>> stderr_;  // indexed by NodeId
  std::optional<bool> converged;
  std::optional<std::uint64_t> seed;
  std::optional<std::size_t> n_order_ideals;
  std::optional<double> state_ratio;
  std::optional<double> memory_mb;
  std::optional<std::string> selected_method;
  std::optional<std::string> fallback_from;
  std::optional<std::string> fallback_reason;
};

class AsvExplainer {
 public:
  // Takes a graph the caller has validated; never fails.
  explicit AsvExplainer(Dag dag);

  const Dag& dag() const { return dag_; }
  std::size_t size() const { return dag_.size(); }
  // One mask of parents per node; empty for graphs of more than 63 nodes.
  const std::vector<CoalitionMask>& parent_masks() const { return parent_masks_; }
  bool is_rooted_tree() const { return is_rooted_tree_; }

  // Entry points: each validates, checks its own limits, runs its algorithm.
  Result<AsvResult> exact(ValueFunction f) const;
  Result<AsvResult> exact_dag(ValueFunction f) const;
  Result<AsvResult> exact_dag_sparse(ValueFunction f) const;
  Result<AsvResult> exact_dag_sparse_with_config(ValueFunction f, const SparseConfig& config) const;
  Result<AsvResult> exact_tree(ValueFunction f) const;
  Result<AsvResult> approximate(ValueFunction f, const SamplingConfig& config) const;
  Result<AsvResult> approximate_batched(BatchValueFunction f, const SamplingConfig& config) const;
  Result<AsvResult> approximate_uniform_sparse(ValueFunction f, const SamplingConfig& config) const;
  Result<AsvResult> approximate_adaptive(ValueFunction f, const AdaptiveConfig& config) const;
  Result<AsvResult> approximate_adaptive_batched(BatchValueFunction f,
                                                 const AdaptiveConfig& config) const;
  Result<AsvResult> approximate_uniform_sparse_adaptive(ValueFunction f,
                                                        const AdaptiveConfig& config) const;
  Result<AsvResult> approximate_uniform_sparse_adaptive_batched(BatchValueFunction f,
                                                                const AdaptiveConfig& config) const;
  Result<AsvResult> auto_select(ValueFunction f, const SamplingConfig& config) const;
  Result<AsvResult> auto_quality(ValueFunction f, const AdaptiveConfig& config) const;

 private:
  Dag dag_;
  std::vector<CoalitionMask> parent_masks_;
  bool is_rooted_tree_ = false;
};

}  // namespace velmora
