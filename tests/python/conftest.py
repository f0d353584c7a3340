import pytest

import velmora


@pytest.fixture
def make_dag():
    """Build a CausalDAG from (from, to) pairs in the given order."""

    def build(edges):
        dag = velmora.CausalDAG()
        for a, b in edges:
            dag.add_edge(a, b)
        return dag

    return build
