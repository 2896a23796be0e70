"""Cost of calling a wrapped function while the monitor is not overloaded.

Measures, in one run, a direct call of a plain function, the same call through the overflow
wrapper, and through a plain Python pass-through wrapper, for a few argument shapes. The figure
of merit is the wrapper's added cost as a fraction of the pass-through's:
(wrapper - direct) / (passthrough - direct).

functools.partial(target) is shown for reference: any callable written in C that calls a Python
function pays for entering a new interpreter frame from C, which a direct Python-to-Python call
avoids; partial is about the cheapest such pass-through there is.

Run with the built module on the path: PYTHONPATH=build/dev python3 benchmarks/bench_wrapper.py
"""

import argparse
import functools
import timeit

from zuvoda import overflow as ov


def target(a, b=0, c=0):
    return a


def passthrough(*a, **k):
    return target(*a, **k)


SHAPES = {
    "positional": "fn(1, 2)",
    "keywords": "fn(1, b=2, c=3)",
}


def per_call_ns(fn, statement, number):
    return timeit.Timer(statement, globals={"fn": fn}).timeit(number) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=500_000)
    parser.add_argument("--repeat", type=int, default=7)
    options = parser.parse_args()

    monitor = ov._OverflowMonitor(False, 85.0, 0.5, "bench-key", "http://127.0.0.1:9", None, False)
    candidates = {
        "direct": target,
        "wrapper": monitor._make_wrapper(target),
        "passthrough": passthrough,
        "partial": functools.partial(target),
    }
    assert not monitor._overloaded

    print(f"{'ns per call':<12}" + "".join(f"{label:>13}" for label in candidates) + "   ratio")
    for shape, statement in SHAPES.items():
        # Interleaved, best of several, so that drifting machine load affects all alike.
        best = dict.fromkeys(candidates, float("inf"))
        for _ in range(options.repeat):
            for label, fn in candidates.items():
                best[label] = min(best[label], per_call_ns(fn, statement, options.number))
        direct = best["direct"]
        ratio = (best["wrapper"] - direct) / (best["passthrough"] - direct)
        row = "".join(f"{best[label]:>13.1f}" for label in candidates)
        print(f"{shape:<12}{row}{ratio:>8.2f}")
    print("ratio = (wrapper - direct) / (passthrough - direct)")


if __name__ == "__main__":
    main()
