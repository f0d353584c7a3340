// Our own work in the exact programmes: counting, visiting and weighting, with a value
// function that costs nothing (it returns a constant). Per-ideal figures are the time of a
// whole run divided by the number of order ideals, which is also the number of value calls.
//
//   cmake -S . -B build/bench -G Ninja -DVELMORA_BUILD_BENCH=ON -DVELMORA_BUILD_PYTHON=OFF
//   cmake --build build/bench && build/bench/bench_exact_dp
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "asv.hpp"
#include "dag_dp.hpp"
#include "dag_dp_sparse.hpp"
#include "tree.hpp"

namespace velmora {
namespace {

Dag with_nodes(int n) {
  Dag d;
  for (int i = 0; i < n; ++i) d.add_node(std::to_string(i));
  return d;
}

void edge(Dag& d, int a, int b) { (void)d.add_edge(NodeId(a), NodeId(b)); }

// Random DAG over shuffled ids: each of the n(n-1)/2 forward pairs is an edge with chance p.
Dag random_dag(int n, double p, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<int> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), rng);
  std::bernoulli_distribution coin(p);
  Dag d = with_nodes(n);
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (coin(rng)) edge(d, perm[i], perm[j]);
    }
  }
  return d;
}

// A chain of ids [from, to).
void chain(Dag& d, int from, int to) {
  for (int i = from; i + 1 < to; ++i) edge(d, i, i + 1);
}

// Sparse-programme shapes of 30 to 63 nodes: many ideals, order counts within 64 bits.
Dag sparse_shape(int which) {
  switch (which) {
    case 0: {  // 12 unrelated nodes beside a chain of 18: 4096 * 19 ideals.
      Dag d = with_nodes(30);
      chain(d, 12, 30);
      return d;
    }
    case 1: {  // pipeline: chain of 14, a random 16-node layer, chain of 15.
      Dag d = with_nodes(45);
      chain(d, 0, 14);
      std::mt19937_64 rng(3);
      std::bernoulli_distribution coin(0.03);
      for (int i = 14; i < 30; ++i) {
        edge(d, 13, i);
        edge(d, i, 30);
        for (int j = i + 1; j < 30; ++j) {
          if (coin(rng)) edge(d, i, j);
        }
      }
      chain(d, 30, 45);
      return d;
    }
    default: {  // chain of 20, 18 unrelated nodes, chain of 25: 2^18 + 45 ideals.
      Dag d = with_nodes(63);
      chain(d, 0, 20);
      for (int i = 20; i < 38; ++i) {
        edge(d, 19, i);
        edge(d, i, 38);
      }
      chain(d, 38, 63);
      return d;
    }
  }
}

const ValueFunction kConstant = [](std::span<const NodeId>) -> Result<double> { return 1.0; };

void report_ideals(benchmark::State& state, std::size_t ideals) {
  state.counters["ideals"] = static_cast<double>(ideals);
  state.counters["per_ideal"] =
      benchmark::Counter(static_cast<double>(ideals) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// args: n, edge chance in percent (0 = edgeless).
void BM_DenseCountsOnly(benchmark::State& state) {
  const Dag d = random_dag(static_cast<int>(state.range(0)), state.range(1) / 100.0, 1);
  const AsvExplainer ex(d);
  for (auto _ : state) benchmark::DoNotOptimize(compute_dp_ind(d.size(), ex.parent_masks()));
}

void BM_DenseWholeRun(benchmark::State& state) {
  const Dag d = random_dag(static_cast<int>(state.range(0)), state.range(1) / 100.0, 1);
  const AsvExplainer ex(d);
  std::size_t ideals = 0;
  for (auto _ : state) {
    std::size_t calls = 0;
    auto r = dag_exact_asv(d, ex.parent_masks(), [&](std::span<const NodeId>) -> Result<double> {
      ++calls;
      return 1.0;
    });
    if (!r) state.SkipWithError(r.error().message().c_str());
    ideals = calls;
  }
  report_ideals(state, ideals);
}

void BM_SparseWholeRun(benchmark::State& state) {
  const Dag d = sparse_shape(static_cast<int>(state.range(0)));
  const AsvExplainer ex(d);
  SparseConfig config;
  config.max_nodes = 63;
  std::size_t ideals = 0;
  for (auto _ : state) {
    auto r = dag_exact_asv_sparse(d, config, ex.parent_masks(), kConstant);
    if (!r) {
      state.SkipWithError(r.error().message().c_str());
      break;
    }
    ideals = *r->n_order_ideals;
  }
  state.counters["n"] = static_cast<double>(d.size());
  report_ideals(state, ideals);
}

void BM_SparseFeasibility(benchmark::State& state) {
  const Dag d = sparse_shape(static_cast<int>(state.range(0)));
  const AsvExplainer ex(d);
  for (auto _ : state)
    benchmark::DoNotOptimize(estimate_sparse_feasible(d, ex.parent_masks(), 300000));
}

// A root with `leaves` leaves: 14 is the widest star within the budgets.
void BM_TreeStar(benchmark::State& state) {
  const int leaves = static_cast<int>(state.range(0));
  Dag d = with_nodes(leaves + 1);
  for (int i = 1; i <= leaves; ++i) edge(d, 0, i);
  for (auto _ : state) {
    auto r = tree_exact_asv(d, kConstant);
    if (!r) state.SkipWithError(r.error().message().c_str());
  }
  const auto cost = estimate_tree_exact_cost(d, NodeId(0), kTreeSideBudget, kTreeWorkBudget);
  state.counters["total_work"] = static_cast<double>(cost.total_work);
  state.counters["per_pair"] = benchmark::Counter(
      static_cast<double>(cost.total_work) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_DenseCountsOnly)->ArgsProduct({{16, 18, 20}, {0, 20}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseWholeRun)->ArgsProduct({{16, 18, 20}, {0, 20}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SparseWholeRun)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SparseFeasibility)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeStar)->Arg(14)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
