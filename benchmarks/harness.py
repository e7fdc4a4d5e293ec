"""Timing helpers shared by the benchmark scripts.

Every figure is the best of several runs, in nanoseconds per element, and
every ratio compares two figures measured in the same run.
"""
import time


def best_seconds(fn, repeat: int = 5, min_time: float = 0.05) -> float:
    """Best wall time of one call of fn over `repeat` rounds; each round
    loops until min_time has passed so small calls are timed reliably."""
    fn()  # warm up (kernel loading, caches)
    best = float("inf")
    for _ in range(repeat):
        calls = 0
        t0 = time.perf_counter()
        while True:
            fn()
            calls += 1
            el = time.perf_counter() - t0
            if el >= min_time:
                break
        best = min(best, el / calls)
    return best


def ns_per(fn, count: int, **kw) -> float:
    return best_seconds(fn, **kw) / count * 1e9


class Table:
    def __init__(self, title: str):
        self.title = title
        self.rows = []

    def add(self, name: str, ns: float, target: float = None, note: str = ""):
        self.rows.append((name, ns, target, note))

    def show(self):
        print(f"\n== {self.title}")
        print(f"{'measurement':46s} {'ns/elem':>12s} {'target':>9s}  note")
        for name, ns, target, note in self.rows:
            t = f"{target:9.0f}" if target is not None else " " * 9
            flag = "" if target is None else ("  ok" if ns <= target else "  OVER")
            print(f"{name:46s} {ns:12.1f} {t}{flag}  {note}")


def ratio(a: float, b: float) -> str:
    return f"{a / b:.1f}x"


def timed(fn, repeat: int = 3, budget: float = 2.0) -> float:
    """Best wall time of fn over up to `repeat` calls, fewer once `budget`
    seconds are spent (for calls that take seconds)."""
    best, spent = float("inf"), 0.0
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        el = time.perf_counter() - t0
        best, spent = min(best, el), spent + el
        if spent > budget:
            break
    return best
