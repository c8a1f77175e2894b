#!/usr/bin/env python3
"""The download-speed table of scripts/bench:
  bench_table.py RUNS NATIVE ARCH=FIGURES...
NATIVE and each FIGURES file hold lines "<path> <run> <seconds>" (or "<path> <run> failed"), as
bench/download_speed.exe and scripts/bench print them. Prints every run of every path per architecture,
then the ratios of the best runs next to their targets."""
import sys

ROWS = [
    ("bare16", "bare InternetReadFile loop, 16 KiB a call, into a file"),
    ("bare256", "bare loop, 256 KiB a call, into a file"),
    ("bare256mem", "bare loop, 256 KiB a call, nothing written"),
    ("lib", "the library"),
    ("lib-md5", "the library with MD5 verification"),
    ("lib-gzip-md5", "gzip, verified: the library"),
    ("manual-gzip", "the same by hand: bare 256 KiB + gzip -dc + md5sum"),
]
NATIVE_ROWS = [
    ("curl", "curl, into a file"),
    ("gzip-dc", "gzip -dc of the encoded text, into a file"),
    ("md5sum", "md5sum of the decoded text"),
]


def read(path):
    runs = {}
    try:
        with open(path) as lines:
            for line in lines:
                parts = line.split()
                if len(parts) == 3:
                    runs.setdefault(parts[0], []).append(None if parts[2] == "failed" else float(parts[2]))
    except OSError:
        pass
    return runs


def best(values):
    done = [v for v in values or [] if v is not None]
    return min(done) if done else None


def cell(values, runs):
    if not values:
        return "-"
    shown = ["fail" if v is None else f"{v:.2f}" for v in values]
    return " / ".join(shown + ["?"] * (runs - len(shown)))


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "-"


def main(runs, native_path, arch_args):
    native = read(native_path)
    archs = [(arg.split("=", 1)[0], read(arg.split("=", 1)[1])) for arg in arch_args]
    for figures in (f for _, f in archs):
        # The manual gzip path: the bare download of the encoded file, then the native decoding and hash.
        parts = [figures.get("bare256gz", []), native.get("gzip-dc", []), native.get("md5sum", [])]
        figures["manual-gzip"] = [None if None in run else sum(run) for run in zip(*parts)]
    width = max(len(label) for _, label in ROWS + NATIVE_ROWS) + 2
    column = max(24, 7 * runs)
    print(f"\ndownload speed, seconds of each run (best used for the ratios); {runs} runs")
    print("path".ljust(width) + "".join(name.ljust(column) for name, _ in archs))
    for key, label in ROWS:
        print(label.ljust(width) + "".join(cell(f.get(key), runs).ljust(column) for _, f in archs))
    for key, label in NATIVE_ROWS:
        print(label.ljust(width) + cell(native.get(key), runs))
    print("\nratios of the best runs".ljust(width + 1) + "".join(name.ljust(10) for name, _ in archs) + "target")
    lines = [
        ("library speed / bare 256 KiB loop", lambda f: ratio(best(f.get("bare256")), best(f.get("lib"))), ">= 0.9"),
        ("library speed / bare 16 KiB loop", lambda f: ratio(best(f.get("bare16")), best(f.get("lib"))), ""),
        ("library speed / bare loop writing nothing",
         lambda f: ratio(best(f.get("bare256mem")), best(f.get("lib"))), ""),
        ("time with verification / without", lambda f: ratio(best(f.get("lib-md5")), best(f.get("lib"))), "<= 1.1"),
        ("gzip time: library / by hand",
         lambda f: ratio(best(f.get("lib-gzip-md5")), best(f.get("manual-gzip"))), ""),
    ]
    for label, compute, target in lines:
        print(label.ljust(width) + "".join(compute(f).ljust(10) for _, f in archs) + target)
    failed = [name for name, f in archs if any(None in v for v in f.values())]
    if failed:
        print("failed runs in: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]), sys.argv[2], sys.argv[3:]))
