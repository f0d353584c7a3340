"""Brute-force oracles shared by the tests: ASV straight from the definition."""

import networkx as nx


def brute_asv(edges, nodes, v):
    """ASV from the definition: marginals averaged over networkx's topological sorts."""
    g = nx.DiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    sums = dict.fromkeys(nodes, 0.0)
    orders = list(nx.all_topological_sorts(g))
    for order in orders:
        prefix = []
        for u in order:
            sums[u] += v(prefix + [u]) - v(prefix)
            prefix.append(u)
    return {u: s / len(orders) for u, s in sums.items()}, orders


def order_ideals(orders):
    return {frozenset(o[:k]) for o in orders for k in range(len(o) + 1)}
