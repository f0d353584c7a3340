#include "graph_exchange.hpp"

#include <array>
#include <cctype>
#include <optional>
#include <utility>

namespace velmora {

std::expected<json::Document, ReadError> parse_graph_document(std::string_view text) {
  json::ParseError error;
  auto doc = json::Document::parse(text, error);
  if (!doc) return std::unexpected(malformed_json(error.describe()));
  return std::move(*doc);
}

ReadError malformed_json(std::string_view detail) {
  return ReadError{"malformed JSON: " + std::string(detail)};
}

std::string dag_to_json(const Dag& dag) {
  std::string out;
  // Roughly what a graph with short names needs, so the buffer grows once or twice at most.
  out.reserve(32 + 32 * dag.num_edges() + 8 * dag.size());
  json::Writer w(out);
  w.begin_object();
  w.key("edges");
  w.begin_array();
  for (std::size_t u = 0; u < dag.size(); ++u) {
    const std::string& from = dag.name(NodeId(u));
    for (NodeId v : dag.children(NodeId(u))) {
      w.begin_object();
      w.key("from");
      w.string(from);
      w.key("to");
      w.string(dag.name(v));
      w.end_object();
    }
  }
  w.end_array();
  w.key("nodes");
  w.begin_array();
  for (const std::string& name : dag.names()) w.string(name);
  w.end_array();
  w.end_object();
  return out;
}

std::expected<Dag, ReadError> dag_from_json(std::string_view text) {
  auto doc = parse_graph_document(text);
  if (!doc) return std::unexpected(std::move(doc.error()));
  // Built aside and handed out only when the whole document was accepted.
  Dag dag;
  const json::Value root = doc->root();
  if (auto nodes = root.find("nodes")) {
    if (!nodes->is_array()) return std::unexpected(malformed_json("\"nodes\" must be an array"));
    for (std::size_t i = 0; i < nodes->size(); ++i) {
      const json::Value entry = nodes->at(i);
      if (!entry.is_string()) {
        return std::unexpected(malformed_json("\"nodes\" entries must be strings"));
      }
      dag.add_node(entry.as_string());
    }
  }
  if (auto edges = root.find("edges")) {
    if (!edges->is_array()) return std::unexpected(malformed_json("\"edges\" must be an array"));
    // Edges mostly come grouped by source, as to_json writes them: a source equal to the
    // previous one reuses its id instead of a second lookup.
    std::optional<std::pair<std::string_view, NodeId>> last_from;
    for (std::size_t i = 0; i < edges->size(); ++i) {
      const json::Value edge = edges->at(i);
      const auto from = edge.find("from");
      if (!from || !from->is_string()) {
        return std::unexpected(malformed_json("edge missing string \"from\""));
      }
      const auto to = edge.find("to");
      if (!to || !to->is_string()) {
        return std::unexpected(malformed_json("edge missing string \"to\""));
      }
      const std::string_view from_name = from->as_string();
      const NodeId u =
          last_from && last_from->first == from_name ? last_from->second : dag.add_node(from_name);
      last_from.emplace(from_name, u);
      const NodeId v = dag.add_node(to->as_string());
      if (auto st = dag.add_edge(u, v); !st) {
        return std::unexpected(ReadError{st.error().message()});
      }
    }
  }
  return dag;
}

namespace {

bool is_plain_dot_id(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  // Keywords are reserved in any letter case.
  static constexpr std::array<std::string_view, 6> kKeywords{"node",    "edge",     "graph",
                                                             "digraph", "subgraph", "strict"};
  for (std::string_view kw : kKeywords) {
    if (kw.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < kw.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(name[i])) == kw[i];
    }
    if (same) return false;
  }
  return true;
}

}  // namespace

void append_dot_id(std::string& out, std::string_view name) {
  if (is_plain_dot_id(name)) {
    out.append(name);
    return;
  }
  out.push_back('"');
  for (char c : name) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

std::string dag_to_dot(const Dag& dag) {
  std::string out = "digraph {\n";
  for (std::size_t u = 0; u < dag.size(); ++u) {
    for (NodeId v : dag.children(NodeId(u))) {
      out.append("  ");
      append_dot_id(out, dag.name(NodeId(u)));
      out.append(" -> ");
      append_dot_id(out, dag.name(v));
      out.append(";\n");
    }
  }
  out.push_back('}');
  return out;
}

}  // namespace velmora
