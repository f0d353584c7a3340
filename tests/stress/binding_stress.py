"""Stress for the Python-facing layer: several Python threads share one explainer and one
growing graph while value functions raise (also KeyboardInterrupt) at random points, mutate
their coalition lists, return numpy values and re-enter the explainer; seeded parallel runs
must stay reproducible throughout.

Not part of the test suite. Run it against the instrumented build, e.g. after
`make sanitize` has built build/asan:

  ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$(g++ -print-file-name=libasan.so) \
    $(g++ -print-file-name=libubsan.so)" PYTHONPATH=build/asan PYTHONMALLOC=malloc \
    .venv/bin/python tests/stress/binding_stress.py
"""

import gc
import random
import sys
import threading

import numpy as np

import velmora

THREADS, ROUNDS = 6, 40


def random_dag(n, seed):
    r = random.Random(seed)
    g = velmora.CausalDAG()
    for i in range(n):
        g.add_edge(f"n{i}", f"leaf{i % 3}")
        for j in range(i + 1, n):
            if r.random() < 0.25:
                g.add_edge(f"n{i}", f"n{j}")
    return g


def game(c):
    return float(len(c)) ** 1.5


def main():
    ex = velmora.ASVExplainer(random_dag(14, 5))
    want = ex.explain(game, method="approx", n_samples=300, seed=11, parallel=True, num_threads=4)
    problems = []
    stop = threading.Event()

    def grow():
        # Edits one graph and builds explainers from it while the workers run.
        k = 0
        while not stop.is_set():
            if k % 60 == 0:
                shared = velmora.CausalDAG()
            shared.add_edge(f"s{k}", f"s{k + 1}")
            velmora.ASVExplainer(shared).explain(game, method="approx", n_samples=20, seed=k,
                                                 parallel=True)
            k += 1

    def work(tid):
        r = random.Random(tid)
        for _ in range(ROUNDS):
            fail_at = r.randrange(1, 300)
            exc = r.choice([KeyError, RuntimeError, KeyboardInterrupt])
            count = [0]

            def f(c):
                count[0] += 1
                if count[0] == fail_at:
                    raise exc("planned")
                value = np.float64(game(c))
                if count[0] % 17 == 0:
                    c.append("junk")  # the adapter must not care
                return value

            plans = [
                lambda: ex.explain(f, method="approx", n_samples=300, seed=r.randrange(10),
                                   parallel=True, num_threads=r.randrange(1, 9)),
                lambda: ex.explain(f, method="approx", n_samples=300, parallel=True),
                lambda: ex.explain(f, method="approx", n_samples=300),
                lambda: ex.explain_with_diagnostics(
                    value_fn_batch=lambda cs: np.array([f(c) for c in cs])[::-1].copy()[::-1],
                    n_samples=200, seed=5, batch_size=r.randrange(0, 40)),
                lambda: ex.explain(
                    lambda c: f(c) + 0 * sum(ex.explain(game, method="approx", n_samples=5,
                                                        seed=1, parallel=True).values()),
                    method="approx", n_samples=50, seed=2, parallel=True),
                lambda: ex.explain(f, method="auto", n_samples=200, seed=1),
            ]
            try:
                r.choice(plans)()
            except ValueError as e:
                if not str(e).startswith("value function error:"):
                    problems.append(f"message: {e}")
            except KeyboardInterrupt:
                if exc is not KeyboardInterrupt:
                    problems.append("KeyboardInterrupt from nowhere")
            except Exception as e:  # noqa: BLE001 - reported below
                problems.append(f"unexpected: {e!r}")
            got = ex.explain(game, method="approx", n_samples=300, seed=11, parallel=True,
                             num_threads=4)
            if got != want:
                problems.append("seeded parallel run changed")

    grower = threading.Thread(target=grow)
    grower.start()
    workers = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    grower.join()
    gc.collect()
    for p in sorted(set(problems)):
        print(p)
    print("ok" if not problems else f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
