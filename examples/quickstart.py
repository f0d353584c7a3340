"""A small causal graph of a loan decision: build it, look at it."""

import velmora

dag = velmora.CausalDAG()
for cause, effect in [
    ("age", "income"),
    ("education", "income"),
    ("education", "occupation"),
    ("occupation", "income"),
    ("income", "credit_score"),
    ("credit_score", "loan_approved"),
    ("income", "loan_approved"),
]:
    dag.add_edge(cause, effect)
dag.validate()

print("nodes:", ", ".join(dag.nodes()))
print("edges:")
for cause, effect in dag.edges():
    print(f"  {cause} -> {effect}")
print("ancestors of loan_approved:", ", ".join(dag.ancestors("loan_approved")))
print("descendants of education:", ", ".join(dag.descendants("education")))
