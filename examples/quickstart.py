"""A small causal graph of a loan decision: build it, look at it, explain a model over it."""

import numpy as np

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

# A logistic model over standardised features. `loan_approved` is the decision itself, so
# the model reads the other five nodes (its ASV is 0: adding it changes no input).
features = ["age", "income", "education", "occupation", "credit_score"]
weights = np.array([0.10, 0.80, 0.30, 0.20, 1.20])
applicant = np.array([0.4, 1.5, 1.0, 0.8, 1.1])  # the person whose decision we explain
baseline = np.zeros(len(features))  # the average applicant
column = {name: i for i, name in enumerate(features)}


def model(x):
    return 1.0 / (1.0 + np.exp(-(weights @ x - 1.0)))


def value_fn(coalition):
    """Model output with the coalition's features taken from the applicant, the rest at baseline."""
    x = baseline.copy()
    cols = [column[name] for name in coalition if name in column]
    x[cols] = applicant[cols]
    return float(model(x))


explainer = velmora.ASVExplainer(dag)
result = explainer.explain_with_diagnostics(value_fn=value_fn, method="exact")
values = result["values"]

print()
print(f"ASV of each node ({result['n_samples']} topological orders, exact):")
print(f"  {'node':<14} {'ASV':>8}")
for name in dag.nodes():
    print(f"  {name:<14} {values[name]:>+8.4f}")
total = sum(values.values())
print(f"  {'sum':<14} {total:>+8.4f}")
print(
    f"  = model(applicant) - model(baseline) = {model(applicant):.4f} - {model(baseline):.4f}"
)
