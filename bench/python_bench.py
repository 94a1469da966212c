#!/usr/bin/env python3
"""The kx Python module against the same calls from C++ in-process, on SQLite.

    PYTHONPATH=BUILD/python python3 bench/python_bench.py BUILD/bench/kx_in_process_bench [--seconds S] [--rounds N]

BUILD is a Release build configured with -DKX_BUILD_BENCH=ON. It prints calls/s of type profiles'
getElementByXML and add from Python (one call per transaction, as outside `with kx.transaction()`)
and from C++ through the registry with a transaction scope per call (kx_in_process_bench), medians
of alternating rounds, and getElementByXML from 4 Python threads against 1. Targets: Python at
least 80% of C++; 4 threads more than 1.5 times 1 thread (on a machine with at least 2 cores).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import kx

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_home(folder: str) -> None:
    path = os.path.join(folder, "Config.ini")
    with open(path, "w") as f:
        f.write(f"[DATABASE]\nPROVIDER=SQLite\nDATABASENAME=bench\n[XML]\nXMLSCHEMAPATH={SOURCE}/schemas/\n")
    # An hour old, as the other benchmarks write it: the settings' cache trusts an unchanged file.
    hour_ago = time.time() - 3600
    os.utime(path, (hour_ago, hour_ago))
    kx.home(folder)
    kx.init()
    with kx.transaction():
        profiles = kx.create("C_JBTypeProfile")
        for i in range(100):
            profiles.add(f'<JBTypeProfile Code="C{i}" JBTypeName="Truck job {i}" JBTypeCategory="TR"/>')


def python_rate(what: str, seconds: float, threads: int, prefix: str) -> float:
    counts = [0] * threads
    until = time.monotonic() + seconds
    failures = []

    def work(t: int) -> None:
        profiles = kx.create("C_JBTypeProfile")
        n = 0
        try:
            if what == "get":
                get = profiles.getElementByXML
                while time.monotonic() < until:
                    get("C42")
                    n += 1
            else:
                add = profiles.add
                while time.monotonic() < until:
                    add(f'<JBTypeProfile Code="{prefix}{t}-{n}" JBTypeName="Truck job" JBTypeCategory="TR"/>')
                    n += 1
        except kx.Error as e:
            failures.append(e)
        counts[t] = n

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if failures:
        raise failures[0]
    return sum(counts) / seconds


def cpp_rate(binary: str, home: str, what: str, seconds: float, threads: int, prefix: str) -> float:
    done = subprocess.run([binary, home, what, str(seconds), str(threads), prefix], capture_output=True,
                          text=True, check=True)
    return float(done.stdout.strip())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cpp", help="the kx_in_process_bench program of the same build")
    parser.add_argument("--seconds", type=float, default=2.0, help="length of one measurement")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds per figure")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kx-pybench.", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None) as home:
        make_home(home)
        rows = []
        for what, member in (("get", "getElementByXML"), ("add", "add")):
            py, cpp = [], []
            for r in range(options.rounds):
                cpp.append(cpp_rate(options.cpp, home, what, options.seconds, 1, f"X{r}-"))
                py.append(python_rate(what, options.seconds, 1, f"P{r}-"))
            rows.append((member, statistics.median(py), statistics.median(cpp)))
        one, four, cpp_one, cpp_four = [], [], [], []
        for r in range(options.rounds):
            one.append(python_rate("get", options.seconds, 1, ""))
            four.append(python_rate("get", options.seconds, 4, ""))
            # What the machine allows: the same calls from C++ threads.
            cpp_one.append(cpp_rate(options.cpp, home, "get", options.seconds, 1, ""))
            cpp_four.append(cpp_rate(options.cpp, home, "get", options.seconds, 4, ""))
        one_rate, four_rate = statistics.median(one), statistics.median(four)
        cpp_scale = statistics.median(cpp_four) / statistics.median(cpp_one)

    print(f"{'call (SQLite, one transaction each)':38} {'Python calls/s':>15} {'C++ calls/s':>12} {'Python/C++':>11}")
    met = True
    for member, py, cpp in rows:
        ratio = py / cpp
        met = met and ratio >= 0.8
        print(f"C_JBTypeProfile.{member:22} {py:15.0f} {cpp:12.0f} {ratio:10.0%}")
    scale = four_rate / one_rate
    print(f"\ngetElementByXML from Python threads: 1 thread {one_rate:.0f} calls/s, 4 threads {four_rate:.0f} calls/s "
          f"({scale:.2f}x; {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}); "
          f"from C++ threads {cpp_scale:.2f}x")
    print("\ntargets:")
    for member, py, cpp in rows:
        print(f"  {member} from Python >= 80% of C++: {py / cpp:.0%} {'met' if py / cpp >= 0.8 else 'NOT met'}")
    print(f"  4 threads > 1.5x 1 thread: {scale:.2f}x {'met' if scale > 1.5 else 'NOT met'}")
    return 0 if met and scale > 1.5 else 1


if __name__ == "__main__":
    sys.exit(main())
