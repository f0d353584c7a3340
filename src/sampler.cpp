#include "sampler.hpp"

#include <algorithm>
#include <cmath>

namespace velmora {

std::vector<std::uint64_t> initial_indegree(const Dag& dag) {
  std::vector<std::uint64_t> out(dag.size());
  for (std::size_t v = 0; v < out.size(); ++v) out[v] = dag.parents(NodeId(v)).size();
  return out;
}

double sample_one_into(const Dag& dag, ChaCha12Rng& rng, SamplerScratch& scratch,
                       std::span<const std::uint64_t> initial, std::size_t n) {
  std::copy(initial.begin(), initial.end(), scratch.indegree.begin());
  scratch.ready.clear();
  for (std::size_t v = 0; v < n; ++v) {
    if (scratch.indegree[v] == 0) scratch.ready.push_back(v);
  }
  scratch.order.clear();
  double log_prob = 0.0;
  for (std::size_t step = 0; step < n; ++step) {
    const std::size_t r = scratch.ready.size();
    const double log_r = std::log(static_cast<double>(r));
    const std::size_t k = rng.uniform_index(r);
    const std::size_t v = scratch.ready[k];
    scratch.ready[k] = scratch.ready.back();
    scratch.ready.pop_back();
    scratch.order.push_back(NodeId(v));
    for (NodeId c : dag.children(NodeId(v))) {
      if (--scratch.indegree[c.index()] == 0) scratch.ready.push_back(c.index());
    }
    log_prob -= log_r;
  }
  return log_prob;
}

}  // namespace velmora
