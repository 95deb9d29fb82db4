#!/usr/bin/python3
"""The run command as a newcomer meets it, each case on a demo computer made anew:
    MOREX_E2E_PREFIX=PREFIX MOREX_WINDOWS_BUILD_DIR=DIR python3 -m unittest tests.e2e.demo_cases
"""

import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

from scripts.winebox import WineBox

SOURCE = Path(__file__).resolve().parents[2]
DEMO_SECONDS = 600
README_RUN = ["scripts/run.sh", "/command", "start", "/service", "MorexDemo"]


def finish(demo, status=0):
    """The demo's output once it ended with `status`; one that hangs is killed, whole."""
    try:
        stdout, stderr = demo.communicate(timeout=DEMO_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(demo.pid, signal.SIGKILL)
        raise
    assert demo.returncode == status, f"the demo ended with {demo.returncode}:\n{stdout}\n{stderr}"
    return stdout, stderr


def demo_line(event_id, text):
    kind = "Information" if event_id == 100 else "Error      "
    return f"Application  Morex  {kind}  {event_id}  {text}"


class DemoCases(unittest.TestCase):
    def setUp(self):
        self.prefix = os.environ["MOREX_E2E_PREFIX"]
        self.build_dir = os.environ["MOREX_WINDOWS_BUILD_DIR"]
        self.box = WineBox(self.prefix, self.build_dir)
        self.box.destroy()
        self.addCleanup(self.box.destroy)

    def start(self, *arguments):
        return subprocess.Popen(["/usr/bin/python3", "-m", "scripts.morex_demo", self.build_dir,
                                 self.prefix, *arguments], cwd=SOURCE, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)

    def demo(self, *arguments, status=0):
        return finish(self.start(*arguments), status)

    def test_first_runs_take_turns_and_every_request_is_carried_out(self):
        """Two first runs at once take turns; each request is reported and done; mistyped
        options are refused, -- hands on the rest; after --shutdown nothing of ours runs."""
        outputs = [finish(d) for d in [self.start(*README_RUN[1:]) for _ in "12"]]
        events = sorted(line for out, _ in outputs for line in out.splitlines()
                        if line.startswith("Application"))
        self.assertEqual(events, sorted([demo_line(100, "start MorexDemo"),
                                         demo_line(101, "1056 - start MorexDemo")]))
        said = sorted(line for out, _ in outputs for line in out.splitlines()
                      if line.startswith("Exit code"))
        self.assertEqual(said, ["Exit code 0.", "Exit code 1056."])
        self.assertTrue(any("waiting" in err for _, err in outputs), "neither run said it waits")
        for out, _ in outputs:
            self.assertIn("Service MorexDemo is now running.", out)
        for word, state in (("stop", "stopped"), ("start", "running"), ("stop", "stopped")):
            out, _ = self.demo(f"/command {word} /service MorexDemo")
            self.assertIn(demo_line(100, f"{word} MorexDemo"), out.splitlines())
            self.assertIn("Exit code 0.", out.splitlines())
            self.assertIn(f"Service MorexDemo is now {state}.", out)
            self.assertEqual(self.box.settled_state("MorexDemo"), state)
        for mistyped in (["--version"], ["--shutdown", "now"], []):
            out, err = self.demo(*mistyped, status=2)
            self.assertEqual(out, "")
            self.assertIn("usage: scripts/run.sh", err)
        usage, _ = self.demo("--help")  # as docs/demo.md quotes it
        self.assertIn(usage.strip().replace("\n", "\n    "), (SOURCE / "docs/demo.md").read_text())
        out, _ = self.demo("--", "--shutdown", " now")
        self.assertIn("Morex.exe --shutdown  now\n", out)
        self.assertIn("Exit code 1639.", out.splitlines())
        self.assertTrue(self.box.running(), "-- --shutdown shut the demo computer down")
        self.demo("--shutdown")
        self.assertEqual(self.box.our_processes(), [])

    def test_interrupted_first_run_says_so_and_leaves_nothing_running(self):
        """Ctrl-C during the first boot: one line, status 130, nothing left running; the next
        run prepares a new demo computer."""
        demo = self.start(*README_RUN[1:])
        watchdog = threading.Timer(DEMO_SECONDS, os.killpg, (demo.pid, signal.SIGKILL))
        watchdog.start()  # a first boot that never comes ends the wait below
        self.addCleanup(watchdog.cancel)
        while "Waiting for the first boot" not in demo.stderr.readline():
            self.assertIsNone(demo.poll(), "the first run ended before its first boot")
        os.killpg(demo.pid, signal.SIGINT)
        _, err = finish(demo, 130)
        self.assertEqual(err.splitlines()[-1:], ["scripts/run.sh: interrupted"])
        self.assertNotIn("Traceback", err)
        self.assertEqual(self.box.our_processes(), [])
        out, _ = self.demo(*README_RUN[1:])
        self.assertIn(demo_line(100, "start MorexDemo"), out.splitlines())
        self.assertIn("Exit code 0.", out.splitlines())

    def test_readme_run_command_works_from_a_fresh_clone(self):
        """The README's command as written, in a clone of the commit (no build/): a first build
        interrupted, then said again by the next run; the stop; warm runs interrupted at
        moments spread over their course, each ending whole or with the one line; --shutdown."""
        clone = Path(self.enterContext(tempfile.TemporaryDirectory())) / "morex"
        commit = subprocess.check_output(["git", "-C", SOURCE, "rev-parse", "HEAD"], text=True)
        subprocess.run(["git", "clone", "-q", SOURCE, clone], check=True, timeout=120)
        subprocess.run(["git", "-C", clone, "checkout", "-q", commit.strip()], check=True)
        box = WineBox(clone / "build" / "demo-prefix", clone / "build" / "mingw")
        self.addCleanup(box.destroy)  # before the clone is deleted
        run = lambda words: subprocess.Popen(words, cwd=clone, text=True, stdout=subprocess.PIPE,
                                             stderr=subprocess.PIPE, start_new_session=True)
        first = run(README_RUN)
        while not (clone / "build/mingw/.configured").exists():
            self.assertIsNone(first.poll(), "the first run ended before its build began")
            time.sleep(0.1)
        os.killpg(first.pid, signal.SIGINT)
        finish(first, 130)
        started, building = finish(run(README_RUN))
        self.assertIn("Building the mingw tree", building)
        stopped, _ = finish(run([*README_RUN[:2], "stop", *README_RUN[3:]]))
        for moment in (0.3 * step / 9 for step in range(10)):
            warm = run(README_RUN)
            time.sleep(moment)
            os.killpg(warm.pid, signal.SIGINT)
            out, err = warm.communicate(timeout=DEMO_SECONDS)
            ended = (warm.returncode, err.splitlines()[-1:],
                     "Traceback" in err or warm.returncode < 0 and out != "")
            self.assertIn(ended, [(0, [], False), (130, ["scripts/run.sh: interrupted"], False),
                                  (-signal.SIGINT, [], False)], f"at {moment:.2f} s:\n{err}")
        finish(run(README_RUN[:1] + ["--shutdown"]))
        self.assertIn(demo_line(100, "start MorexDemo"), started.splitlines())
        self.assertIn("Service MorexDemo is now running.", started)
        self.assertIn(demo_line(100, "stop MorexDemo"), stopped.splitlines())
        self.assertEqual([started.count("Exit code 0."), stopped.count("Exit code 0.")], [1, 1])
        self.assertEqual(box.our_processes(), [])


if __name__ == "__main__":
    unittest.main()
