#!/usr/bin/python3
"""Measures Morex.exe under Wine beside the tools an administrator would use instead and a
floor program that sends the same request and nothing else, and the tokenizer natively;
prints a Markdown table, and writes it to docs/benchmarks.md only with --write.

    python3 -m bench.wine_bench SOURCE_DIR WINDOWS_BUILD_DIR NATIVE_BUILD_DIR [RUNS] [--write]
"""

import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import pefile

from scripts.box import WindowsPaths
from scripts.winebox import WineBox

SERVICE = "MorexBench"
WINE_DLLS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")


def progress(text):
    print(text, file=sys.stderr, flush=True)


class Voided(Exception):
    """A timed run ended otherwise than the tool's first run did: on a busy machine Wine now
    and then ends a process before it ran. Run again, it would be two processes in one time,
    so its round is left out and reported instead."""


EXIT_CODES = {}  # each command's exit code in the measure's warm-up run


def timed(box, *args):
    """The time of exactly one Wine process, from its start to the moment it ends."""
    start = time.perf_counter()
    code = box.wine_once(*args)[0]
    elapsed = time.perf_counter() - start
    if EXIT_CODES.setdefault(args, code) != code:
        raise Voided(f"wine {' '.join(args)} ended with {code}, not {EXIT_CODES[args]}")
    return elapsed


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


def stop_of_stopped(box, _start_args, stop_args):
    """One stop request for a service that is already stopped: refused at once, so it is the
    program's own cost with the least of the service manager's."""
    return timed(box, *stop_args)


TOOLS = {
    "Morex.exe": ((WindowsPaths.morex, "/command", "start", "/service", SERVICE),
                  (WindowsPaths.morex, "/command", "stop", "/service", SERVICE)),
    "sc": (("sc", "start", SERVICE), ("sc", "stop", SERVICE)),
    "net": (("net", "start", SERVICE), ("net", "stop", SERVICE)),
    "floor": ((WindowsPaths.floor, "start", SERVICE), (WindowsPaths.floor, "stop", SERVICE)),
}

MEASURES = {"start-then-stop cycle": cycle, "stop of a stopped service": stop_of_stopped}


def measure(box, runs):
    """Median time of each tool for each measure over the rounds that were not voided, and
    how many were; tools interleaved, in a rotating order."""
    medians, voided = {}, {}
    for measure_name, one in MEASURES.items():
        progress(f"{measure_name}: warming up...")
        EXIT_CODES.clear()
        for name, (start, stop) in TOOLS.items():
            one(box, start, stop)
        times, voided[measure_name] = {name: [] for name in TOOLS}, 0
        for i in range(runs):
            names = list(TOOLS)
            names = names[i % len(names):] + names[:i % len(names)]
            try:
                one_round = {name: one(box, *TOOLS[name]) for name in names}
            except Voided as reason:
                voided[measure_name] += 1
                progress(f"{measure_name}: round {i + 1} of {runs} voided: {reason}")
                settle(box, "stop")
                continue
            for name, elapsed in one_round.items():
                times[name].append(elapsed)
            progress(f"{measure_name}: round {i + 1} of {runs}: " +
                     ", ".join(f"{name} {one_round[name] * 1000:.0f} ms" for name in TOOLS))
        medians[measure_name] = {name: statistics.median(v) for name, v in times.items()}
    return medians, voided


def share_of(morex, other, name):
    """The ratio in words: what share of the other tool's time Morex takes."""
    return f"Morex takes {morex / other:.2f} of {name}'s time"


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
    progress("Tokenizer: done.")
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("run_type") == "iteration":
            tokens = int(b["run_name"].split("/")[1])
            fastest[tokens] = min(fastest.get(tokens, float("inf")), b["real_time"])
    return fastest


def main(source, windows_build, native_build, runs, write):
    source, windows_build, native_build = Path(source), Path(windows_build), Path(native_build)
    progress("Tokenizer (Google Benchmark, 9 repetitions per size; about a minute, it reports "
             "at the end)...")
    tokens = tokenizer(native_build)  # first, while no Wine process competes for the machine
    box = WineBox(native_build / "bench-prefix", windows_build, progress=progress)
    progress("Preparing the bench computer (a new Wine prefix)...")
    box.create(SERVICE)
    load_before = os.getloadavg()[0]
    try:
        medians, voided = measure(box, runs)
        load_after = os.getloadavg()[0]
        progress("Sizes...")
        system32 = box.prefix / "drive_c" / "windows" / "system32"
        sizes = [size_row("Morex.exe", windows_build / "Morex.exe"),
                 size_row("floor", windows_build / "morex_bench_floor.exe"),
                 size_row("sc.exe (Wine)", system32 / "sc.exe"),
                 size_row("net.exe (Wine)", system32 / "net.exe")]
    finally:
        box.destroy()
    wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())

    lines = [
        "# Benchmarks",
        "",
        f"Made by `bench/run.sh {runs}{' --write' if write else ''}` on {datetime.date.today().isoformat()}: {cpu}, "
        f"{subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()} cores, "
        f"{platform.system()} {platform.release()}, {wine_version.strip()}. Load average "
        f"(1 minute) {load_before:.2f} when the Wine runs began, {load_after:.2f} when they "
        "ended (the bench's own runs count in it; on 2 cores, beyond 1 is other work).",
        "",
        f"## Whole runs under a warm Wine prefix (median of {runs} rounds less those left out, "
        "tools interleaved)",
        "",
        "Every timed run is exactly one process, started the same way for each tool: "
        "`wine PROGRAM ARGUMENTS` from Linux, in the prefix's environment with "
        "`WINEDEBUG=-all`, its output to files; timed from its start to the moment it ends "
        "(a pidfd wakes the bench; no polling: a wait with a timeout polls in sleeps that double "
        "up to 50 ms, and would round each run up to its next poll, 31.5, 63.5, 113.5 ms...). "
        "A run that ends with another exit code than "
        "the same command's warm-up run (Wine ending a process before it ran) is not run "
        "again: its round is left out. Rounds left out: " +
        ", ".join(f"{name} {count}" for name, count in voided.items()) + ".",
        "",
        "| measure | tool | time | Morex compared |",
        "|---|---|---|---|",
    ]
    for measure_name, by_tool in medians.items():
        morex = by_tool["Morex.exe"]
        for name, value in by_tool.items():
            words = "" if name == "Morex.exe" else share_of(morex, value, name)
            lines.append(f"| {measure_name} | {name} | {value * 1000:.0f} ms | {words} |")
    lines += [
        "",
        "A cycle is two process runs (start, stop); between them, untimed, the service is "
        f"brought to its state and left {SETTLE_SECONDS} s to settle. `floor` sends the same "
        "request as Morex and nothing else (no option parsing, no event-log entry), so the "
        "difference between Morex and the floor is Morex's own cost.",
        "",
        "## Size of the executable and the DLLs it imports",
        "",
        "| program | size | imports (Wine's builtin DLLs) |",
        "|---|---|---|",
        *sizes,
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
    print(report)
    if write:
        (source / "docs" / "benchmarks.md").write_text(report)
        progress("Wrote docs/benchmarks.md.")


if __name__ == "__main__":
    arguments = [a for a in sys.argv[1:] if a != "--write"]
    main(arguments[0], arguments[1], arguments[2],
         int(arguments[3]) if len(arguments) > 3 else 20, "--write" in sys.argv[1:])
