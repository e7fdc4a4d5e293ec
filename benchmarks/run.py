"""Runs every benchmark script in this folder: python -P benchmarks/run.py"""
import glob
import os
import runpy
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
only = sys.argv[1:]
for path in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
    name = os.path.basename(path)[:-3]
    if only and not any(o in name for o in only):
        continue
    # Each script parses its own command line: the filter words are ours.
    sys.argv = [path]
    runpy.run_path(path, run_name="__main__")
