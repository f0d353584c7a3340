// Rooted directed trees.
#pragma once

#include "graph.hpp"

namespace velmora {

// The single node without parents when every other node has exactly one parent;
// NotRootedTree otherwise (an empty graph included). Does not look for cycles.
Result<NodeId> find_rooted_tree_root(const Dag& dag);

}  // namespace velmora
