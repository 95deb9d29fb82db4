#!/usr/bin/python3
"""Measures Morex.exe under Wine beside the tools an administrator would use instead, and the
tokenizer natively; prints a Markdown table and writes it to docs/benchmarks.md.

    wine_bench.py SOURCE_DIR WINDOWS_BUILD_DIR NATIVE_BUILD_DIR [RUNS]
"""

import datetime
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


def cycle(box, start_args, stop_args):
    """One start-then-stop cycle: the time of the two commands; the service is brought to
    the expected state between them, untimed, since some tools return before it gets there."""
    elapsed = timed(box, *start_args)
    box.service("start", SERVICE)
    elapsed += timed(box, *stop_args)
    box.service("stop", SERVICE)
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


def peak_working_set(box):
    report, _ = box.run_command_line(f"{WindowsPaths.morex} /command stop /service {SERVICE}")
    for line in report.splitlines():
        if line.startswith("peak working set"):
            return int(line.split()[-1])
    return None


def tokenizer(native_build):
    out = subprocess.run([str(native_build / "bench" / "morex_bench"),
                          "--benchmark_filter=BM_LoadCommandLineArgs/(1000|10000|32767)$",
                          "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true",
                          "--benchmark_format=json"], check=True, capture_output=True, text=True)
    medians = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[int(b["run_name"].split("/")[1])] = b["real_time"]
    return medians


def main(source, windows_build, native_build, runs):
    source, windows_build, native_build = Path(source), Path(windows_build), Path(native_build)
    box = WineBox(native_build / "bench-prefix", windows_build)
    box.create(SERVICE)
    try:
        medians = measure_cycles(box, runs)
        peak = peak_working_set(box)
        system32 = box.prefix / "drive_c" / "windows" / "system32"
        sizes = [size_row("Morex.exe", windows_build / "Morex.exe"),
                 size_row("floor", windows_build / "morex_bench_floor.exe"),
                 size_row("sc.exe (Wine)", system32 / "sc.exe"),
                 size_row("net.exe (Wine)", system32 / "net.exe")]
    finally:
        box.shutdown()
    tokens = tokenizer(native_build)
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
        "Each cycle is two process runs (start, stop); the service is brought to its state "
        "between them, untimed. `floor` only opens and closes the service manager.",
        "",
        "## Size of the executable and the DLLs it imports",
        "",
        "| program | size | imports (Wine's builtin DLLs) |",
        "|---|---|---|",
        *sizes,
        "",
        "## Memory",
        "",
        f"Peak working set of one Morex.exe run under Wine (K32GetProcessMemoryInfo): "
        f"{peak / 1024 / 1024:.1f} MiB." if peak else "Peak working set: not reported by Wine.",
        "",
        "## LoadCommandLineArgs (Google Benchmark, median of 5)",
        "",
        "| tokens | time | growth per tenfold |",
        "|---|---|---|",
        f"| 1,000 | {tokens[1000]:.1f} µs | |",
        f"| 10,000 | {tokens[10000]:.1f} µs | {tokens[10000] / tokens[1000]:.1f}× |",
        f"| 32,767 | {tokens[32767]:.1f} µs | "
        f"{(tokens[32767] / tokens[10000]) ** (1 / 0.51536):.1f}× (extrapolated from 3.28×) |",
        "",
    ]
    report = "\n".join(lines)
    (source / "docs" / "benchmarks.md").write_text(report)
    print(report)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 20)
