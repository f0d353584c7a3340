#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <numeric>
#include <set>

#include "approx.hpp"
#include "asv.hpp"
#include "rng.hpp"
#include "sampler.hpp"

namespace velmora {
namespace {

// ---- Fixtures ---------------------------------------------------------------------------

// Nodes n0, n1, ... (built by appending: g++ 12 warns falsely on "n" + to_string).
std::string node_name(std::size_t i) {
  std::string s = "n";
  s += std::to_string(i);
  return s;
}

Dag make_dag(std::size_t n, std::initializer_list<std::pair<int, int>> edges) {
  Dag d;
  for (std::size_t i = 0; i < n; ++i) d.add_node(node_name(i));
  for (auto [a, b] : edges) EXPECT_TRUE(d.add_edge(NodeId(a), NodeId(b)).has_value());
  return d;
}

Dag chain(std::size_t n) {
  Dag d;
  for (std::size_t i = 0; i < n; ++i) d.add_node(node_name(i));
  for (std::size_t i = 0; i + 1 < n; ++i) EXPECT_TRUE(d.add_edge(NodeId(i), NodeId(i + 1)));
  return d;
}

// Non-additive game: node weights, a pair bonus and a term that depends on coalition size,
// so that contributions depend on what came before.
double game(std::span<const NodeId> s) {
  double x = 0.0;
  bool has0 = false, has1 = false;
  for (NodeId v : s) {
    x += 1.0 + 0.5 * static_cast<double>(v.index());
    has0 |= v.index() == 0;
    has1 |= v.index() == 1;
  }
  const double size = static_cast<double>(s.size());
  return x + (has0 && has1 ? 3.0 : 0.0) + 0.25 * size * size;
}

ValueFunction as_fn(double (*g)(std::span<const NodeId>)) {
  return [g](std::span<const NodeId> s) -> Result<double> { return g(s); };
}

BatchValueFunction as_batch(double (*g)(std::span<const NodeId>)) {
  return [g](std::span<const Coalition> cs) -> Result<std::vector<double>> {
    std::vector<double> out;
    for (const Coalition& c : cs) out.push_back(g(c));
    return out;
  };
}

// Exact ASV by enumerating every topological ordering.
std::vector<double> brute_force_asv(const Dag& dag, double (*g)(std::span<const NodeId>)) {
  const std::size_t n = dag.size();
  std::vector<double> sums(n, 0.0);
  std::size_t count = 0;
  std::vector<NodeId> order;
  std::vector<std::size_t> indeg = [&] {
    std::vector<std::size_t> d(n);
    for (std::size_t v = 0; v < n; ++v) d[v] = dag.parents(NodeId(v)).size();
    return d;
  }();
  std::vector<bool> placed(n, false);
  auto rec = [&](auto&& self) -> void {
    if (order.size() == n) {
      std::vector<NodeId> prefix;
      double prev = g(prefix);
      for (NodeId v : order) {
        prefix.insert(std::upper_bound(prefix.begin(), prefix.end(), v), v);
        const double now = g(prefix);
        sums[v.index()] += now - prev;
        prev = now;
      }
      ++count;
      return;
    }
    for (std::size_t v = 0; v < n; ++v) {
      if (placed[v] || indeg[v] != 0) continue;
      placed[v] = true;
      order.push_back(NodeId(v));
      for (NodeId c : dag.children(NodeId(v))) --indeg[c.index()];
      self(self);
      for (NodeId c : dag.children(NodeId(v))) ++indeg[c.index()];
      order.pop_back();
      placed[v] = false;
    }
  };
  rec(rec);
  for (double& s : sums) s /= static_cast<double>(count);
  return sums;
}

// ---- Random streams ---------------------------------------------------------------------

std::vector<std::uint8_t> block_bytes(const ChaChaKey& key, std::uint64_t counter,
                                      std::uint64_t nonce, int rounds) {
  std::uint32_t out[16];
  chacha_block(key, counter, nonce, rounds, out);
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t w : out) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  }
  return bytes;
}

std::vector<std::uint8_t> hex(const char* s) {
  std::vector<std::uint8_t> out;
  for (; s[0] && s[1]; s += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
  return out;
}

TEST(ChaCha, BlockFunctionMatchesPublishedVectors) {
  // All-zero key and nonce, block 0, for 8, 12 and 20 rounds (the reduced-round test
  // vectors), and the 20-round vector with key 00..1f, counter 1 and nonce
  // 00000009 0000004a 00000000, laid out as a 64-bit counter and a 64-bit nonce.
  const ChaChaKey zero{};
  EXPECT_EQ(block_bytes(zero, 0, 0, 8),
            hex("3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
                "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"));
  EXPECT_EQ(block_bytes(zero, 0, 0, 12),
            hex("9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
                "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"));
  EXPECT_EQ(block_bytes(zero, 0, 0, 20),
            hex("76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
                "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"));
  ChaChaKey key;
  for (std::uint32_t i = 0; i < 8; ++i) {
    key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
  }
  std::uint32_t out[16];
  chacha_block(key, 0x0900000000000001ULL, 0x4a000000ULL, 20, out);
  const std::uint32_t expected[16] = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                      0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                      0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_TRUE(std::equal(out, out + 16, expected));
}

TEST(ChaCha, GeneratorReadsFourBlocksInOrderAndSplitsWideDrawsAcrossRefills) {
  const ChaChaKey key = pcg32_expand_key(42);
  std::vector<std::uint32_t> stream(16 * 8);
  for (std::uint64_t b = 0; b < 8; ++b) chacha_block(key, b, 0, 12, stream.data() + 16 * b);

  ChaCha12Rng rng(key);
  for (std::size_t i = 0; i < 63; ++i) ASSERT_EQ(rng.next_u32(), stream[i]) << i;
  // Word 63 is the low half; the refill supplies the high half from block 4.
  EXPECT_EQ(rng.next_u64(), std::uint64_t{stream[63]} | (std::uint64_t{stream[64]} << 32));
  EXPECT_EQ(rng.block_counter(), 8u);
  EXPECT_EQ(rng.next_u32(), stream[65]);
}

TEST(ChaCha, SeedExpansionAndSeededStreams) {
  // PCG32 (XSH RR) outputs, advancing before each output.
  EXPECT_EQ(pcg32_expand_key(0), (ChaChaKey{0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                            0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}));
  EXPECT_EQ(pcg32_expand_key(~std::uint64_t{0}),
            (ChaChaKey{0xe392472f, 0x102810d6, 0x952d5435, 0x435ef92c, 0x7b34e99a, 0x37c5dd03,
                       0xb0c77a63, 0x3e612043}));
  for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{7}, ~std::uint64_t{0}}) {
    ChaCha12Rng a = make_rng(seed), b = make_rng(seed);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(a.next_u64(), b.next_u64());
  }
  ChaCha12Rng u1 = make_rng(std::nullopt), u2 = make_rng(std::nullopt);
  EXPECT_NE(u1.next_u64(), u2.next_u64());
  // Chunk 0 does not reuse the user's seed.
  EXPECT_NE(chunk_seed(7, 0), 7u);
  // Runs with neighbouring seeds share no chunk stream.
  for (std::uint64_t seed :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7}, ~std::uint64_t{0} - 1}) {
    for (std::uint64_t k = 1; k < 64; ++k) {
      for (std::uint64_t j = 0; j < 64; ++j) {
        ASSERT_NE(chunk_seed(seed, k), chunk_seed(seed + 1, j)) << seed << " " << k << " " << j;
      }
    }
  }
}

TEST(ChaCha, BoundedDrawsAreUniformAndInRange) {
  ChaCha12Rng rng = make_rng(1);
  for (std::size_t r : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{10}}) {
    std::vector<std::size_t> hits(r, 0);
    const std::size_t draws = 20000 * r;
    for (std::size_t i = 0; i < draws; ++i) ++hits[rng.uniform_index(r)];
    double chi2 = 0.0;
    for (std::size_t h : hits) chi2 += std::pow(static_cast<double>(h) - 20000.0, 2) / 20000.0;
    EXPECT_LT(chi2, 30.0) << "r = " << r;  // 9 degrees of freedom at most
  }
  // Ranges past 32 bits take the wide path and stay in range, covering both halves.
  const std::uint64_t big = (std::uint64_t{1} << 63) + 12345;
  bool upper = false, lower = false;
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t x = rng.uniform_u64(big);
    ASSERT_LT(x, big);
    (x >= big / 2 ? upper : lower) = true;
    ASSERT_LT(rng.uniform_index(big), big);
  }
  EXPECT_TRUE(upper && lower);
  // r = 1 still consumes a word.
  ChaCha12Rng a = make_rng(5), b = make_rng(5);
  EXPECT_EQ(a.uniform_index(1), 0u);
  b.next_u32();
  EXPECT_EQ(a.next_u32(), b.next_u32());
}

// ---- Sequential sampler -------------------------------------------------------------------

TEST(Sampler, EdgelessGraphIsUniformWithLogProbMinusLogFactorial) {
  const Dag dag = make_dag(3, {});
  const auto indeg = initial_indegree(dag);
  SamplerScratch scratch(3);
  ChaCha12Rng rng = make_rng(3);
  std::map<std::vector<NodeId>, int> seen;
  for (int i = 0; i < 6000; ++i) {
    EXPECT_NEAR(sample_one_into(dag, rng, scratch, indeg, 3), -std::log(6.0), 1e-12);
    ++seen[scratch.order];
  }
  ASSERT_EQ(seen.size(), 6u);
  for (auto& [order, k] : seen) EXPECT_NEAR(k, 1000, 150);
}

TEST(Sampler, ChainYieldsItsOrderWithProbabilityOneAndStillAdvances) {
  const Dag dag = chain(3);
  const auto indeg = initial_indegree(dag);
  SamplerScratch scratch(3);
  ChaCha12Rng rng = make_rng(9), reference = make_rng(9);
  EXPECT_EQ(sample_one_into(dag, rng, scratch, indeg, 3), 0.0);
  EXPECT_EQ(scratch.order, (std::vector<NodeId>{NodeId(0), NodeId(1), NodeId(2)}));
  for (int i = 0; i < 3; ++i) reference.next_u32();
  EXPECT_EQ(rng.next_u32(), reference.next_u32());
}

TEST(Sampler, LogProbIsTheFrequencyOfEachOrdering) {
  // 0 -> 1 -> 2 next to a lone node 3: the sampler favours 3 early, by 1/2 at the first step.
  const Dag dag = make_dag(4, {{0, 1}, {1, 2}});
  const auto indeg = initial_indegree(dag);
  SamplerScratch scratch(4);
  ChaCha12Rng rng = make_rng(11);
  std::map<std::vector<NodeId>, std::pair<int, double>> seen;
  const int draws = 40000;
  for (int i = 0; i < draws; ++i) {
    const double lp = sample_one_into(dag, rng, scratch, indeg, 4);
    auto& [k, logp] = seen[scratch.order];
    ++k;
    logp = lp;
  }
  ASSERT_EQ(seen.size(), 4u);  // the four linear extensions
  double total = 0.0;
  for (auto& [order, kp] : seen) {
    const double p = std::exp(kp.second);
    total += p;
    EXPECT_NEAR(kp.first / double(draws), p, 4 * std::sqrt(p * (1 - p) / draws));
  }
  EXPECT_NEAR(total, 1.0, 1e-12);
}

// ---- Uniform sampler ----------------------------------------------------------------------

std::vector<CoalitionMask> parent_masks_of(const Dag& dag) {
  std::vector<CoalitionMask> masks(dag.size(), 0);
  for (std::size_t v = 0; v < dag.size(); ++v) {
    for (NodeId p : dag.parents(NodeId(v))) masks[v] |= CoalitionMask{1} << p.index();
  }
  return masks;
}

TEST(UniformSampler, ChainSpendsNoRandomnessAndPairsFollowTheFirstDraw) {
  const Dag line = chain(5);
  const auto line_masks = parent_masks_of(line);
  CountMemo memo;
  std::vector<NodeId> out;
  ChaCha12Rng rng = make_rng(2), untouched = make_rng(2);
  ASSERT_TRUE(sample_uniform_sparse_into(rng, line_masks, 5, memo, out));
  EXPECT_EQ(out, (std::vector<NodeId>{NodeId(0), NodeId(1), NodeId(2), NodeId(3), NodeId(4)}));
  EXPECT_EQ(rng.next_u64(), untouched.next_u64());

  // Two unconnected nodes: t = 0 gives 0, 1 and t = 1 gives 1, 0.
  const Dag pair = make_dag(2, {});
  const auto pair_masks = parent_masks_of(pair);
  CountMemo pair_memo;
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    ChaCha12Rng a = make_rng(seed), probe = make_rng(seed);
    const std::uint64_t t = probe.uniform_u64(2);
    ASSERT_TRUE(sample_uniform_sparse_into(a, pair_masks, 2, pair_memo, out));
    EXPECT_EQ(out[0], NodeId(static_cast<std::uint32_t>(t)));
    EXPECT_EQ(a.next_u64(), probe.next_u64()) << "one draw for the whole ordering";
  }
}

TEST(UniformSampler, EveryOrderingIsEquallyLikely) {
  // The graph on which the sequential sampler is far from uniform.
  const Dag dag = make_dag(4, {{0, 1}, {1, 2}});
  const auto masks = parent_masks_of(dag);
  CountMemo memo;
  std::vector<NodeId> out;
  ChaCha12Rng rng = make_rng(17);
  std::map<std::vector<NodeId>, int> seen;
  for (int i = 0; i < 8000; ++i) {
    ASSERT_TRUE(sample_uniform_sparse_into(rng, masks, 4, memo, out));
    ++seen[out];
  }
  ASSERT_EQ(seen.size(), 4u);
  for (auto& [order, k] : seen) EXPECT_NEAR(k, 2000, 180);
}

TEST(UniformSampler, CountOverflowIsPassedOn) {
  Dag wide;  // 63 unconnected nodes: 63! orderings do not fit 64 bits
  for (std::size_t i = 0; i < 63; ++i) wide.add_node(node_name(i));
  const auto masks = parent_masks_of(wide);
  CountMemo memo;
  std::vector<NodeId> out;
  ChaCha12Rng rng = make_rng(1);
  auto st = sample_uniform_sparse_into(rng, masks, 63, memo, out);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::LinearExtensionOverflow);
}

// ---- The walk -----------------------------------------------------------------------------

TEST(Walk, MaskAndWordArrayCoalitionsSeeTheSameWalk) {
  // The ordering visits ids past 64 only in the word-array form, so walk ids below 64 with
  // both and an id past 64 with the word array alone.
  const std::vector<NodeId> order{NodeId(3), NodeId(0), NodeId(63), NodeId(5)};
  std::vector<std::vector<NodeId>> seen_mask, seen_words;
  std::vector<std::pair<NodeId, double>> deltas_mask, deltas_words;
  auto by_mask = [&](const MaskCoalition& c) -> Result<double> {
    seen_mask.push_back(mask_to_coalition(c.bits));
    return game(seen_mask.back());
  };
  auto by_words = [&](const LargeCoalition& c) -> Result<double> {
    seen_words.push_back(c.to_sorted_nodes());
    return game(seen_words.back());
  };
  MaskCoalition mask;
  LargeCoalition words(2);
  ASSERT_TRUE(walk_ordering(order, mask, by_mask,
                            [&](NodeId v, double d) { deltas_mask.emplace_back(v, d); }));
  ASSERT_TRUE(walk_ordering(order, words, by_words,
                            [&](NodeId v, double d) { deltas_words.emplace_back(v, d); }));
  EXPECT_EQ(seen_mask, seen_words);
  EXPECT_EQ(deltas_mask, deltas_words);
  ASSERT_EQ(seen_mask.size(), order.size() + 1);
  EXPECT_TRUE(seen_mask.front().empty());

  // A second walk starts again from the empty coalition; a failure ends the walk.
  const std::vector<NodeId> longer{NodeId(70), NodeId(1)};
  std::size_t calls = 0;
  auto fails_second = [&](const LargeCoalition& c) -> Result<double> {
    if (++calls == 2) return std::unexpected(VelmoraError::value_function_failed("x: y"));
    EXPECT_TRUE(c.to_sorted_nodes().empty());
    return 0.0;
  };
  auto st = walk_ordering(longer, words, fails_second, [](NodeId, double) { FAIL(); });
  ASSERT_FALSE(st);
  EXPECT_EQ(calls, 2u);
}

// ---- Fixed-budget estimator ---------------------------------------------------------------

struct GraphCase {
  const char* name;
  Dag dag;
};

std::vector<GraphCase> estimator_graphs() {
  return {
      {"chain with a lone node", make_dag(5, {{0, 1}, {1, 2}, {2, 3}})},
      {"diamond and tail", make_dag(6, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {3, 4}, {5, 4}})},
      {"two roots", make_dag(6, {{0, 2}, {1, 2}, {1, 3}, {3, 4}, {2, 5}})},
  };
}

TEST(Approximate, EveryPlanAgreesWithTheExactValues) {
  for (const auto& [name, dag] : estimator_graphs()) {
    const auto exact = brute_force_asv(dag, game);
    const std::size_t n = dag.size();
    // Spread of the estimate measured over independent seeds, so the tolerance follows the
    // estimator's own standard error.
    struct Plan {
      std::optional<std::uint64_t> seed;
      bool parallel;
      std::optional<std::size_t> threads;
    };
    for (Plan plan :
         {Plan{1, false, {}}, Plan{1, true, 3}, Plan{{}, false, {}}, Plan{{}, true, {}}}) {
      std::vector<std::vector<double>> runs;
      for (std::uint64_t rep = 0; rep < 16; ++rep) {
        auto seed = plan.seed ? std::optional<std::uint64_t>(*plan.seed + rep) : std::nullopt;
        auto r = approximate_asv(dag, as_fn(game), seed, plan.threads, 2000, plan.parallel);
        ASSERT_TRUE(r) << r.error().message();
        ASSERT_EQ(r->values.size(), n);
        EXPECT_EQ(r->seed, seed);
        EXPECT_EQ(r->n_samples, 2000u);
        EXPECT_FALSE(r->is_exact);
        EXPECT_TRUE(r->ess && *r->ess > 100 && *r->ess <= 2000.0 + 1e-6);
        runs.push_back(r->values);
      }
      for (std::size_t v = 0; v < n; ++v) {
        double mean = 0, var = 0;
        for (auto& r : runs) mean += r[v] / runs.size();
        for (auto& r : runs) var += (r[v] - mean) * (r[v] - mean) / (runs.size() - 1);
        const double se = std::sqrt(var / runs.size()) + 1e-9;
        EXPECT_NEAR(mean, exact[v], 7 * se + 1e-9)
            << name << " node " << v << " seeded " << plan.seed.has_value() << " parallel "
            << plan.parallel;
      }
    }
  }
}

TEST(Approximate, ChainIsExactAndEqualWeightsGiveFullEss) {
  const Dag line = chain(5);
  const auto exact = brute_force_asv(line, game);
  auto r = approximate_asv(line, as_fn(game), 4, {}, 300, false);
  ASSERT_TRUE(r);
  for (std::size_t v = 0; v < 5; ++v) EXPECT_NEAR(r->values[v], exact[v], 1e-12);
  EXPECT_DOUBLE_EQ(*r->ess, 300.0);

  const Dag edgeless = make_dag(5, {});
  for (bool parallel : {false, true}) {
    auto e = approximate_asv(edgeless, as_fn(game), 4, 2, 500, parallel);
    ASSERT_TRUE(e);
    EXPECT_NEAR(*e->ess, 500.0, 1e-6);
    auto b = approximate_asv_batched(edgeless, as_batch(game), 4, 64, 500);
    ASSERT_TRUE(b);
    EXPECT_NEAR(*b->ess, 500.0, 1e-6);
  }
}

TEST(Approximate, SeededRunsAreReproducibleAndPlansDiffer) {
  const Dag dag = estimator_graphs()[1].dag;
  for (std::uint64_t seed : {std::uint64_t{0}, ~std::uint64_t{0}}) {
    auto s1 = approximate_asv(dag, as_fn(game), seed, {}, 500, false);
    auto s2 = approximate_asv(dag, as_fn(game), seed, {}, 500, false);
    auto p1 = approximate_asv(dag, as_fn(game), seed, 4, 500, true);
    auto p2 = approximate_asv(dag, as_fn(game), seed, 4, 500, true);
    auto p3 = approximate_asv(dag, as_fn(game), seed, 3, 500, true);
    ASSERT_TRUE(s1 && s2 && p1 && p2 && p3);
    EXPECT_EQ(s1->values, s2->values);
    EXPECT_EQ(p1->values, p2->values);
    EXPECT_EQ(*p1->ess, *p2->ess);
    EXPECT_NE(s1->values, p1->values);
    EXPECT_NE(p1->values, p3->values);
  }
}

// The seeded chunk plan computed by hand: each listed chunk (index, orderings) draws from
// the stream of its chunk seed; chunk sums are combined in the listed order.
AsvResult by_hand(const Dag& dag, std::uint64_t seed, std::size_t n_samples,
                  std::initializer_list<std::pair<std::uint64_t, std::size_t>> chunks) {
  const std::size_t n = dag.size();
  const auto indeg = initial_indegree(dag);
  SampleTotals combined(n);
  for (auto [k, count] : chunks) {
    ChaCha12Rng rng = make_rng(chunk_seed(seed, k));
    SamplerScratch scratch(n);
    ImportanceSums<CompensatedSum> acc(n);
    for (std::size_t i = 0; i < count; ++i) {
      const double w = std::exp(-sample_one_into(dag, rng, scratch, indeg, n));
      std::vector<NodeId> prefix;
      double prev = game(prefix);
      for (NodeId v : scratch.order) {
        prefix.insert(std::upper_bound(prefix.begin(), prefix.end(), v), v);
        const double now = game(prefix);
        acc.add_contribution(v, (now - prev) * w);
        prev = now;
      }
      acc.add_weight(w);
    }
    combined.add(acc.totals());
  }
  return importance_result(combined, n_samples, seed);
}

TEST(Approximate, SeededChunksFollowTheirIndexAndCombineInOrder) {
  const Dag dag = estimator_graphs()[2].dag;
  const std::uint64_t seed = 123;
  const std::size_t all = ~std::size_t{0};
  struct Case {
    std::size_t n_samples, chunks;
    std::initializer_list<std::pair<std::uint64_t, std::size_t>> expected;
  };
  const Case cases[] = {
      // N = 3 over K = 8: chunks 2, 5 and 7 draw one ordering each.
      {3, 8, {{2, 1}, {5, 1}, {7, 1}}},
      // N = 8 over K = 3: 2, 3 and 3 orderings.
      {8, 3, {{0, 2}, {1, 3}, {2, 3}}},
      // K = 2^64 - 1 (divisible by 3): the busy chunks are found without visiting the rest.
      {3, all, {{all / 3 - 1, 1}, {2 * (all / 3) - 1, 1}, {all - 1, 1}}},
  };
  for (const Case& c : cases) {
    auto r = approximate_asv(dag, as_fn(game), seed, c.chunks, c.n_samples, true);
    ASSERT_TRUE(r);
    const AsvResult want = by_hand(dag, seed, c.n_samples, c.expected);
    EXPECT_EQ(r->values, want.values) << c.n_samples << " over " << c.chunks;
    EXPECT_EQ(*r->ess, *want.ess);
  }
}

TEST(Approximate, BatchedMatchesSequentialAndSendsEachMissingCoalitionOnce) {
  const Dag dag = estimator_graphs()[1].dag;
  auto seq = approximate_asv(dag, as_fn(game), 77, {}, 700, false);
  ASSERT_TRUE(seq);
  for (std::optional<std::size_t> bs :
       {std::optional<std::size_t>{}, std::optional<std::size_t>{0}, std::optional<std::size_t>{1},
        std::optional<std::size_t>{50}}) {
    std::set<CoalitionMask> sent;
    std::size_t calls = 0;
    BatchValueFunction f = [&](std::span<const Coalition> cs) -> Result<std::vector<double>> {
      ++calls;
      EXPECT_FALSE(cs.empty());
      std::vector<double> out;
      CoalitionMask last = 0;
      for (std::size_t i = 0; i < cs.size(); ++i) {
        CoalitionMask m = 0;
        for (NodeId v : cs[i]) m |= CoalitionMask{1} << v.index();
        EXPECT_TRUE(i == 0 || m > last) << "ascending, no repeats within a call";
        EXPECT_TRUE(sent.insert(m).second) << "no repeats across calls";
        last = m;
        out.push_back(game(cs[i]));
      }
      return out;
    };
    auto r = approximate_asv_batched(dag, f, 77, bs, 700);
    ASSERT_TRUE(r);
    // Same stream, same orderings: only the shift and the summation differ.
    for (std::size_t v = 0; v < dag.size(); ++v) EXPECT_NEAR(r->values[v], seq->values[v], 1e-9);
    EXPECT_NEAR(*r->ess, *seq->ess, 1e-6);
    EXPECT_EQ(r->seed, std::optional<std::uint64_t>(77));
    const std::size_t per_batch = bs ? std::max<std::size_t>(*bs, 1) : 256;
    EXPECT_LE(calls, (700 + per_batch - 1) / per_batch);
  }
}

TEST(Approximate, BadSettingsAreRefusedBeforeAnyEvaluation) {
  const Dag dag = estimator_graphs()[0].dag;
  std::size_t calls = 0;
  ValueFunction counting = [&](std::span<const NodeId>) -> Result<double> {
    return double(++calls);
  };
  BatchValueFunction batch_counting =
      [&](std::span<const Coalition> cs) -> Result<std::vector<double>> {
    ++calls;
    return std::vector<double>(cs.size(), 0.0);
  };
  auto z = approximate_asv(dag, counting, 1, {}, 0, false);
  ASSERT_FALSE(z);
  EXPECT_EQ(z.error().message(), "invalid configuration: n_samples must be > 0");
  auto zb = approximate_asv_batched(dag, batch_counting, 1, {}, 0);
  ASSERT_FALSE(zb);
  EXPECT_EQ(zb.error().message(), "invalid configuration: n_samples must be > 0");
  auto t0 = approximate_asv(dag, counting, 1, 0, 10, true);
  ASSERT_FALSE(t0);
  EXPECT_EQ(t0.error().message(), "invalid configuration: num_threads must be > 0");

  Dag big;
  for (std::size_t i = 0; i < 65; ++i) big.add_node(node_name(i));
  auto l = approximate_asv(big, counting, 1, {}, 10, false);
  ASSERT_FALSE(l);
  EXPECT_EQ(l.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(l.error().detail(),
            "approx on graphs of more than 64 nodes is not available in this build, got 65 nodes");
  auto lb = approximate_asv_batched(big, batch_counting, 1, {}, 10);
  ASSERT_FALSE(lb);
  EXPECT_EQ(lb.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(calls, 0u);

  // 64 nodes still fit one mask.
  Dag edge64;
  for (std::size_t i = 0; i < 64; ++i) edge64.add_node(node_name(i));
  auto ok = approximate_asv(edge64, as_fn(game), 1, {}, 20, false);
  ASSERT_TRUE(ok) << ok.error().message();
  EXPECT_TRUE(std::isfinite(*ok->ess));
}

TEST(Approximate, ValueFunctionFailureStopsEveryPlan) {
  const Dag dag = make_dag(12, {{0, 1}, {2, 3}});
  const std::size_t threads = 4;
  for (int plan = 0; plan < 3; ++plan) {
    std::atomic<std::size_t> calls{0};
    ValueFunction f = [&](std::span<const NodeId> s) -> Result<double> {
      if (calls.fetch_add(1) + 1 == 1000) {
        return std::unexpected(VelmoraError::value_function_failed("RuntimeError: boom"));
      }
      return game(s);
    };
    auto r = plan == 0   ? approximate_asv(dag, f, 5, {}, 100000, false)
             : plan == 1 ? approximate_asv(dag, f, 5, threads, 100000, true)
                         : approximate_asv(dag, f, std::nullopt, {}, 100000, true);
    ASSERT_FALSE(r) << plan;
    EXPECT_EQ(r.error().message(), "value function error: RuntimeError: boom");
    // Other workers finish at most the ordering they are walking.
    EXPECT_LT(calls.load(), 1000 + 64 * (dag.size() + 1)) << plan;
  }
}

TEST(Approximate, BatchFailuresAndWrongCountsEndTheRun) {
  const Dag dag = estimator_graphs()[0].dag;
  std::size_t calls = 0;
  BatchValueFunction too_many = [&](std::span<const Coalition> cs) -> Result<std::vector<double>> {
    ++calls;
    return std::vector<double>(cs.size() + 1, 0.0);
  };
  auto r = approximate_asv_batched(dag, too_many, 1, 4, 100);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::ValueFunctionFailed);
  const std::string msg = r.error().message();
  EXPECT_TRUE(msg.starts_with("value function error: value_fn_batch returned ")) << msg;
  EXPECT_TRUE(msg.ends_with(" coalitions")) << msg;
  EXPECT_EQ(calls, 1u);

  BatchValueFunction fails_later =
      [&](std::span<const Coalition> cs) -> Result<std::vector<double>> {
    if (++calls == 3) return std::unexpected(VelmoraError::value_function_failed("ValueError: no"));
    std::vector<double> out;
    for (const Coalition& c : cs) out.push_back(game(c));
    return out;
  };
  calls = 0;
  auto f = approximate_asv_batched(dag, fails_later, 1, 1, 1000);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error().message(), "value function error: ValueError: no");
}

TEST(Explainer, ApproximateEntryPointsValidateFirst) {
  Dag cyclic = make_dag(3, {{0, 1}, {1, 2}, {2, 0}});
  const AsvExplainer ex(cyclic);
  SamplingConfig cfg;
  cfg.n_samples = 0;
  auto r = ex.approximate(as_fn(game), cfg);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Cycle);
  auto b = ex.approximate_batched(as_batch(game), cfg);
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().kind(), ErrorKind::Cycle);

  const AsvExplainer ok(estimator_graphs()[1].dag);
  cfg.n_samples = 200;
  cfg.seed = 3;
  auto a = ok.approximate(as_fn(game), cfg);
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->selected_method.has_value());
  EXPECT_EQ(a->n_samples, 200u);
}

}  // namespace
}  // namespace velmora
