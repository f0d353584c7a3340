#include "tree.hpp"

#include <optional>

namespace velmora {

Result<NodeId> find_rooted_tree_root(const Dag& dag) {
  std::optional<NodeId> root;
  std::size_t roots = 0;
  for (std::size_t v = 0; v < dag.size(); ++v) {
    if (dag.parents(NodeId(v)).empty()) {
      ++roots;
      if (!root) root = NodeId(v);
    }
  }
  if (roots != 1) return std::unexpected(VelmoraError::not_rooted_tree());
  for (std::size_t v = 0; v < dag.size(); ++v) {
    if (NodeId(v) != *root && dag.parents(NodeId(v)).size() != 1) {
      return std::unexpected(VelmoraError::not_rooted_tree());
    }
  }
  return *root;
}

}  // namespace velmora
