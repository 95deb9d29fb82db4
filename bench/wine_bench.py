#!/usr/bin/python3
"""Measures Morex.exe under Wine beside the tools an administrator would use instead, and the
tokenizer natively; prints a Markdown table and writes it to docs/benchmarks.md.

    wine_bench.py SOURCE_DIR WINDOWS_BUILD_DIR NATIVE_BUILD_DIR [RUNS]
"""

import datetime
import os
import json
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from winebox import WindowsPaths, WineBox  # noqa: E402

import pefile  # noqa: E402

SERVICE = "MorexBench"
WINE_DLLS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")


def timed(box, *args):
    start = time.perf_counter()
    box.wine(*args, check=False)
    return time.perf_counter() - start


SETTLE_SECONDS = 0.3


def settle(box, state_verb):
    """Untimed: brings the service to the state (some tools return before it gets there) and
    lets the service process finish starting or exiting, so that no timed command shares the
    machine with it."""
    box.service(state_verb, SERVICE)
    time.sleep(SETTLE_SECONDS)


def cycle(box, start_args, stop_args):
    """One start-then-stop cycle: the time of the two commands."""
    elapsed = timed(box, *start_args)
    settle(box, "start")
    elapsed += timed(box, *stop_args)
    settle(box, "stop")
    return elapsed


TOOLS = {
    "Morex.exe": ((WindowsPaths.morex, "/command", "start", "/service", SERVICE),
                  (WindowsPaths.morex, "/command", "stop", "/service", SERVICE)),
    "sc": (("sc", "start", SERVICE), ("sc", "stop", SERVICE)),
    "net": (("net", "start", SERVICE), ("net", "stop", SERVICE)),
    "floor": ((WindowsPaths.floor,), (WindowsPaths.floor,)),
}


def measure_cycles(box, runs):
    times = {name: [] for name in TOOLS}
    for name, (start, stop) in TOOLS.items():  # warm-up
        cycle(box, start, stop)
    for i in range(runs):
        names = list(TOOLS)
        names = names[i % len(names):] + names[:i % len(names)]  # interleaved, rotating
        for name in names:
            times[name].append(cycle(box, *TOOLS[name]))
    return {name: statistics.median(values) for name, values in times.items()}


def imports_of(path):
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return sorted(d.dll.decode().lower() for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))


def size_row(name, path):
    dlls = imports_of(path)
    dll_sizes = ", ".join(f"{d} {(WINE_DLLS / d).stat().st_size // 1024} KiB"
                          for d in dlls if (WINE_DLLS / d).exists())
    return f"| {name} | {path.stat().st_size / 1024:.1f} KiB | {dll_sizes} |"


def tokenizer(native_build):
    """Fastest of 9 repetitions per size: on a shared machine the minimum is the figure that
    noise from elsewhere inflates least."""
    out = subprocess.run([str(native_build / "bench" / "morex_bench"),
                          "--benchmark_filter=BM_LoadCommandLineArgs/[0-9]+$",
                          "--benchmark_repetitions=9", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True)
    fastest = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("run_type") == "iteration":
            tokens = int(b["run_name"].split("/")[1])
            fastest[tokens] = min(fastest.get(tokens, float("inf")), b["real_time"])
    return fastest


def peak_rss_kib(box, *args):
    """Peak resident set of one wine process, which is the Windows process itself."""
    env = dict(box.env)
    process = subprocess.Popen(["wine", *args], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(process.pid, 0)
    process.returncode = 0
    return usage.ru_maxrss


def main(source, windows_build, native_build, runs):
    source, windows_build, native_build = Path(source), Path(windows_build), Path(native_build)
    tokens = tokenizer(native_build)  # first, while no Wine process competes for the machine
    box = WineBox(native_build / "bench-prefix", windows_build)
    box.create(SERVICE)
    try:
        medians = measure_cycles(box, runs)
        peaks = {"Morex.exe": peak_rss_kib(box, *TOOLS["Morex.exe"][1]),
                 "sc": peak_rss_kib(box, *TOOLS["sc"][1]),
                 "floor": peak_rss_kib(box, WindowsPaths.floor)}
        system32 = box.prefix / "drive_c" / "windows" / "system32"
        sizes = [size_row("Morex.exe", windows_build / "Morex.exe"),
                 size_row("floor", windows_build / "morex_bench_floor.exe"),
                 size_row("sc.exe (Wine)", system32 / "sc.exe"),
                 size_row("net.exe (Wine)", system32 / "net.exe")]
    finally:
        box.shutdown()
    wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())

    ms = {name: value * 1000 for name, value in medians.items()}
    lines = [
        "# Benchmarks",
        "",
        f"Made by `bench/run.sh` on {datetime.date.today().isoformat()}: {cpu}, "
        f"{subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()} cores, "
        f"{platform.system()} {platform.release()}, {wine_version.strip()}.",
        "",
        f"## One start-then-stop cycle under a warm Wine prefix (median of {runs}, interleaved)",
        "",
        "| tool | cycle | Morex / tool |",
        "|---|---|---|",
    ]
    for name in TOOLS:
        lines.append(f"| {name} | {ms[name]:.0f} ms | {ms['Morex.exe'] / ms[name]:.2f} |")
    lines += [
        "",
        "Each cycle is two process runs (start, stop); between them, untimed, the service is "
        f"brought to its state and left {SETTLE_SECONDS} s to settle. `floor` only opens and "
        "closes the service manager.",
        "",
        "## Size of the executable and the DLLs it imports",
        "",
        "| program | size | imports (Wine's builtin DLLs) |",
        "|---|---|---|",
        *sizes,
        "",
        "## Memory",
        "",
        "Peak resident set of one run (a stop of the stopped service) under Wine, the wine "
        "process being the Windows process itself (`wait4` ru_maxrss): "
        + ", ".join(f"{name} {kib / 1024:.1f} MiB" for name, kib in peaks.items()) + ".",
        "",
        "## LoadCommandLineArgs (Google Benchmark, fastest of 9 repetitions)",
        "",
        "| tokens | time | per token | growth over a tenth as many tokens |",
        "|---|---|---|---|",
        *(f"| {n:,} | {tokens[n]:.0f} µs | {tokens[n] * 1000 / n:.0f} ns | "
          + (f"{tokens[n] / tokens[n // 10]:.1f}× |" if n // 10 in tokens else " |")
          for n in sorted(tokens)),
        "",
    ]
    report = "\n".join(lines)
    (source / "docs" / "benchmarks.md").write_text(report)
    print(report)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 20)
