#include "error.hpp"

#include <string>

namespace velmora {

std::string to_string(NodeId id) { return "NodeId(" + std::to_string(id.value) + ")"; }

std::string VelmoraError::message() const {
  switch (kind_) {
    case ErrorKind::Cycle:
      return "cycle detected in graph";
    case ErrorKind::InvalidNode:
      return "invalid node id: " + to_string(a_);
    case ErrorKind::SelfLoop:
      return "self-loop on node " + to_string(a_);
    case ErrorKind::DuplicateEdge:
      return "duplicate edge " + to_string(a_) + " -> " + to_string(b_);
    case ErrorKind::EmptyGraph:
      return "graph is empty";
    case ErrorKind::NotRootedTree:
      return "graph is not a rooted directed tree";
    case ErrorKind::ValueFunctionFailed:
      return "value function error: " + text_;
    case ErrorKind::InvalidConfig:
      return "invalid configuration: " + text_;
    case ErrorKind::LinearExtensionOverflow:
      return "linear extension count overflowed u64: " + text_;
    case ErrorKind::TreeBudgetExceeded:
      return "exact_tree: tree shape exceeds the feasibility budget (largest single side-sibling "
             "product " +
             std::to_string(numbers_[0]) + " vs budget " + std::to_string(numbers_[1]) +
             "; estimated total work " + std::to_string(numbers_[2]) + " vs budget " +
             std::to_string(numbers_[3]) + "); use exact_dag_sparse or approx";
    case ErrorKind::ConflictingEdge:
      return "conflicting edge between " + to_string(a_) + " and " + to_string(b_) +
             ": an edge with a different orientation already exists";
    case ErrorKind::NoConsistentExtension:
      return "PDAG has no consistent DAG extension (undirected edges can't be oriented without "
             "creating a cycle or a new v-structure)";
    case ErrorKind::HullNoFixedPoint:
      return "d-convex hull computation did not reach a fixed point within the expected "
             "iteration bound; this indicates an implementation bug";
  }
  return "unknown error";
}

}  // namespace velmora
