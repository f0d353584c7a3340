#include "approx.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include "rng.hpp"
#include "sampler.hpp"

namespace velmora {

namespace {

constexpr std::size_t kMaskNodes = 64;
constexpr std::size_t kDefaultBatchSize = 256;

Status check_common(std::size_t n_samples) {
  if (n_samples == 0) return std::unexpected(VelmoraError::invalid_config("n_samples must be > 0"));
  return {};
}

// Graphs beyond one 64-bit mask need the word-array estimators, which this build lacks.
Status check_mask_size(std::size_t n, const char* what) {
  if (n <= kMaskNodes) return {};
  return std::unexpected(VelmoraError::invalid_config(
      std::string(what) + " on graphs of more than 64 nodes is not available in this build, got " +
      std::to_string(n) + " nodes"));
}

// Read-only inputs shared by every chunk or piece of one run.
struct RunInputs {
  const Dag& dag;
  const ValueFunction& f;
  std::span<const std::uint64_t> indegree;
  std::size_t n;
};

// One shifted, compensated run on the calling thread.
Result<SampleTotals> run_sequential(const RunInputs& in, std::uint64_t seed,
                                    std::size_t n_samples) {
  ChaCha12Rng rng = make_rng(seed);
  ValueCache cache;
  SamplerScratch scratch(in.n);
  MaskValue value(cache, in.f, in.n);
  MaskCoalition coalition;
  ImportanceSums<CompensatedSum> acc(in.n);
  double shift = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n_samples; ++i) {
    const double log_weight = -sample_one_into(in.dag, rng, scratch, in.indegree, in.n);
    if (log_weight > shift) {
      acc.scale(std::exp(shift - log_weight));
      shift = log_weight;
    }
    const double w = std::exp(log_weight - shift);
    auto walked = walk_weighted(scratch.order, coalition, value, acc, w);
    if (!walked) return std::unexpected(std::move(walked.error()));
    acc.add_weight(w);
  }
  return acc.totals();
}

// One chunk of a seeded parallel run: own generator, cache and compensated sums, unshifted
// weights. Once another chunk has failed it stops at its next ordering; the run then
// discards its partial sums.
Result<SampleTotals> run_chunk(const RunInputs& in, std::uint64_t seed, std::size_t count,
                               const std::atomic<bool>& stop) {
  ChaCha12Rng rng = make_rng(seed);
  ValueCache cache;
  SamplerScratch scratch(in.n);
  MaskValue value(cache, in.f, in.n);
  MaskCoalition coalition;
  ImportanceSums<CompensatedSum> acc(in.n);
  for (std::size_t i = 0; i < count; ++i) {
    if (stop.load(std::memory_order_relaxed)) break;
    const double w = std::exp(-sample_one_into(in.dag, rng, scratch, in.indegree, in.n));
    auto walked = walk_weighted(scratch.order, coalition, value, acc, w);
    if (!walked) return std::unexpected(std::move(walked.error()));
    acc.add_weight(w);
  }
  return acc.totals();
}

Result<SampleTotals> run_seeded_chunks(const RunInputs& in, std::uint64_t seed, std::size_t chunks,
                                       std::size_t n_samples) {
  struct Chunk {
    std::uint64_t index;
    std::size_t count;
  };
  // Chunk k draws floor((k+1)N/K) - floor(kN/K) orderings. Empty chunks are dropped but
  // keep their index, so the seeds do not depend on them.
  std::vector<Chunk> work;
  const auto total = static_cast<unsigned __int128>(n_samples);
  if (chunks <= n_samples) {
    work.reserve(chunks);
    for (std::size_t k = 0; k < chunks; ++k) {
      const auto lo = static_cast<std::size_t>(total * k / chunks);
      const auto hi = static_cast<std::size_t>(total * (k + 1) / chunks);
      if (hi > lo) work.push_back({k, hi - lo});
    }
  } else {
    // More chunks than orderings: each ordering i is the one ordering of chunk
    // ceil((i+1)K/N) - 1, found directly instead of walking up to 2^64 - 1 empty chunks.
    work.reserve(n_samples);
    for (std::size_t i = 0; i < n_samples; ++i) {
      const unsigned __int128 scaled = static_cast<unsigned __int128>(i + 1) * chunks;
      const auto k = static_cast<std::uint64_t>((scaled + total - 1) / total - 1);
      work.push_back({k, 1});
    }
  }
  std::vector<std::optional<Result<SampleTotals>>> results(work.size());
  std::atomic<bool> stop{false};
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, work.size(), 1),
      [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
          auto res = run_chunk(in, chunk_seed(seed, work[i].index), work[i].count, stop);
          if (!res) stop.store(true, std::memory_order_relaxed);
          results[i] = std::move(res);
        }
      },
      tbb::simple_partitioner());
  for (auto& r : results) {
    if (!*r) return std::unexpected(std::move(r->error()));
  }
  SampleTotals combined(in.n);
  for (auto& r : results) combined.add(**r);
  return combined;
}

// A piece of an unseeded pool run: fresh entropy stream, cache and plain sums. The pool
// splits the sample range; a piece that is joined keeps its state for its next range.
class PoolPiece {
 public:
  PoolPiece(const RunInputs& in, std::atomic<bool>& stop)
      : in_(in),
        stop_(stop),
        rng_(make_rng(std::nullopt)),
        scratch_(in.n),
        value_(cache_, in.f, in.n),
        acc_(in.n) {}
  PoolPiece(PoolPiece& other, tbb::split) : PoolPiece(other.in_, other.stop_) {}

  void operator()(const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      if (error_ || stop_.load(std::memory_order_relaxed)) return;
      const double w = std::exp(-sample_one_into(in_.dag, rng_, scratch_, in_.indegree, in_.n));
      acc_.add_weight(w);
      auto walked = walk_weighted(scratch_.order, coalition_, value_, acc_, w);
      if (!walked) {
        error_ = std::move(walked.error());
        stop_.store(true, std::memory_order_relaxed);
        return;
      }
    }
  }

  void join(PoolPiece& rhs) {
    if (!error_ && rhs.error_) error_ = std::move(rhs.error_);
    for (std::size_t i = 0; i < in_.n; ++i) acc_.sums[i].add(rhs.acc_.sums[i].sum);
    acc_.w.add(rhs.acc_.w.sum);
    acc_.w2.add(rhs.acc_.w2.sum);
  }

  Result<SampleTotals> finish() {
    if (error_) return std::unexpected(std::move(*error_));
    return acc_.totals();
  }

 private:
  const RunInputs& in_;
  std::atomic<bool>& stop_;
  ChaCha12Rng rng_;
  ValueCache cache_;
  SamplerScratch scratch_;
  MaskValue value_;  // refers to cache_; the pool never copies or moves a piece
  MaskCoalition coalition_;
  ImportanceSums<PlainSum> acc_;
  std::optional<VelmoraError> error_;
};

Result<SampleTotals> run_unseeded_pool(const RunInputs& in, std::size_t n_samples) {
  std::atomic<bool> stop{false};
  PoolPiece root(in, stop);
  tbb::parallel_reduce(tbb::blocked_range<std::size_t>(0, n_samples), root);
  return root.finish();
}

}  // namespace

AsvResult importance_result(const SampleTotals& totals, std::size_t n_samples,
                            std::optional<std::uint64_t> seed) {
  AsvResult result;
  result.values.resize(totals.sums.size());
  for (std::size_t v = 0; v < totals.sums.size(); ++v) result.values[v] = totals.sums[v] / totals.w;
  result.ess = totals.w * totals.w / totals.w2;
  result.n_samples = n_samples;
  result.seed = seed;
  result.is_exact = false;
  return result;
}

Result<AsvResult> approximate_asv(const Dag& dag, const ValueFunction& f,
                                  std::optional<std::uint64_t> seed,
                                  std::optional<std::size_t> num_threads, std::size_t n_samples,
                                  bool parallel) {
  if (auto ok = check_common(n_samples); !ok) return std::unexpected(ok.error());
  // Zero chunks would leave every weight sum at 0 and every value at 0/0.
  if (parallel && seed && num_threads == std::size_t{0}) {
    return std::unexpected(VelmoraError::invalid_config("num_threads must be > 0"));
  }
  const std::size_t n = dag.size();
  if (auto ok = check_mask_size(n, "approx"); !ok) return std::unexpected(ok.error());

  const std::vector<std::uint64_t> indegree = initial_indegree(dag);
  const RunInputs in{dag, f, indegree, n};
  Result<SampleTotals> totals = [&]() -> Result<SampleTotals> {
    if (!seed) return run_unseeded_pool(in, n_samples);
    if (!parallel) return run_sequential(in, *seed, n_samples);
    const std::size_t chunks =
        num_threads ? *num_threads
                    : static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
    return run_seeded_chunks(in, *seed, chunks, n_samples);
  }();
  if (!totals) return std::unexpected(std::move(totals.error()));
  return importance_result(*totals, n_samples, seed);
}

Result<AsvResult> approximate_asv_batched(const Dag& dag, const BatchValueFunction& f,
                                          std::optional<std::uint64_t> seed,
                                          std::optional<std::size_t> batch_size,
                                          std::size_t n_samples) {
  if (auto ok = check_common(n_samples); !ok) return std::unexpected(ok.error());
  const std::size_t n = dag.size();
  if (auto ok = check_mask_size(n, "approx with value_fn_batch"); !ok) {
    return std::unexpected(ok.error());
  }
  const std::size_t batch =
      std::min(std::max<std::size_t>(batch_size.value_or(kDefaultBatchSize), 1), n_samples);

  const std::vector<std::uint64_t> indegree = initial_indegree(dag);
  ChaCha12Rng rng = make_rng(seed);
  ValueCache cache;
  SamplerScratch scratch(n);
  std::vector<SampledOrdering> drawn(batch);
  for (auto& d : drawn) d.order.resize(n);
  std::vector<CoalitionMask> masks;
  masks.reserve(batch * (n + 1));
  std::vector<Coalition> coalitions;
  MaskCoalition coalition;
  // Every value is in the cache by the time a batch is walked.
  auto cached = [&](const MaskCoalition& c) -> Result<double> {
    return cache.find(c.bits)->second;
  };
  ImportanceSums<PlainSum> acc(n);
  double shift = -std::numeric_limits<double>::infinity();

  for (std::size_t remaining = n_samples; remaining > 0;) {
    const std::size_t b = std::min(batch, remaining);
    masks.clear();
    double batch_max = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < b; ++i) {
      drawn[i].log_prob = sample_one_into(dag, rng, scratch, indegree, n);
      std::copy(scratch.order.begin(), scratch.order.end(), drawn[i].order.begin());
      batch_max = std::fmax(batch_max, -drawn[i].log_prob);
      // Only coalitions the cache lacks are collected: the same set as filtering after
      // sorting, without sorting the many that later batches find cached.
      CoalitionMask m = 0;
      if (!cache.contains(m)) masks.push_back(m);
      for (NodeId v : drawn[i].order) {
        m |= CoalitionMask{1} << v.index();
        if (!cache.contains(m)) masks.push_back(m);
      }
    }
    std::sort(masks.begin(), masks.end());
    masks.erase(std::unique(masks.begin(), masks.end()), masks.end());
    if (!masks.empty()) {
      coalitions.clear();
      coalitions.reserve(masks.size());
      for (CoalitionMask m : masks) coalitions.push_back(mask_to_coalition(m));
      auto values = f(std::span<const Coalition>(coalitions));
      if (!values) return std::unexpected(std::move(values.error()));
      if (values->size() != masks.size()) {
        return std::unexpected(VelmoraError::value_function_failed(
            "value_fn_batch returned " + std::to_string(values->size()) + " values for " +
            std::to_string(masks.size()) + " coalitions"));
      }
      for (std::size_t i = 0; i < masks.size(); ++i) cache.emplace(masks[i], (*values)[i]);
    }
    if (batch_max > shift) {
      acc.scale(std::exp(shift - batch_max));
      shift = batch_max;
    }
    for (std::size_t i = 0; i < b; ++i) {
      const double w = std::exp(-drawn[i].log_prob - shift);
      acc.add_weight(w);
      auto walked = walk_weighted(drawn[i].order, coalition, cached, acc, w);
      if (!walked) return std::unexpected(std::move(walked.error()));
    }
    remaining -= b;
  }
  return importance_result(acc.totals(), n_samples, seed);
}

}  // namespace velmora
