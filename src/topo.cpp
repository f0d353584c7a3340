#include "topo.hpp"

namespace velmora {

namespace {

struct Collect {
  std::vector<std::vector<NodeId>>* out;
  Status enter(std::span<const NodeId>, NodeId) { return {}; }
  Status complete(std::span<const NodeId> order) {
    out->emplace_back(order.begin(), order.end());
    return {};
  }
};

}  // namespace

Result<std::vector<std::vector<NodeId>>> enumerate_topos(const Dag& dag) {
  std::vector<std::vector<NodeId>> orders;
  Collect collect{&orders};
  if (auto st = visit_topos(dag, collect); !st) return std::unexpected(st.error());
  return orders;
}

}  // namespace velmora
