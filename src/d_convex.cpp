#include "d_convex.hpp"

namespace velmora {

NodeSet ancestors_or_self(const Dag& dag, const NodeSet& set) {
  NodeSet out = set;
  // Members are appended in discovery order, so the set itself serves as the FIFO queue.
  for (std::size_t head = 0; head < out.size(); ++head) {
    for (NodeId p : dag.parents(out[head])) out.insert(p);
  }
  return out;
}

NodeSet children_or_self(const Dag& dag, const NodeSet& set) {
  NodeSet out = set;
  for (NodeId u : set) {
    for (NodeId v : dag.children(u)) out.insert(v);
  }
  return out;
}

}  // namespace velmora
