// The DAG's text forms: the JSON document in both directions and Graphviz DOT.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "graph.hpp"
#include "json.hpp"

namespace velmora {

// A refused graph document; `message` is the complete text the caller reports, such as
// "malformed JSON: trailing comma at line 1 column 9" or "duplicate edge NodeId(0) -> NodeId(1)".
struct ReadError {
  std::string message;
};

// Parses a graph document; parse failures read "malformed JSON: {reader message and position}".
std::expected<json::Document, ReadError> parse_graph_document(std::string_view text);
// "malformed JSON: {detail}", for documents whose members have the wrong shape.
ReadError malformed_json(std::string_view detail);

// {"edges":[{"from":..,"to":..},...],"nodes":[...]}: nodes by id, edges by source id and
// then in the order they were added; compact, keys ascending.
std::string dag_to_json(const Dag& dag);
// Rebuilds a graph from a document: "nodes" first, then "edges", each in array order. A
// top-level value that is not an object is an empty graph. Never returns a partial graph.
std::expected<Dag, ReadError> dag_from_json(std::string_view text);

// Graphviz text: "digraph {", one "  from -> to;" line per edge in JSON order, "}".
std::string dag_to_dot(const Dag& dag);
// A name as a DOT identifier: plain identifiers (ASCII letters, digits and underscores, not
// starting with a digit, not a DOT keyword) as they are, anything else double-quoted with
// quotation marks and backslashes escaped.
void append_dot_id(std::string& out, std::string_view name);

}  // namespace velmora
