#!/usr/bin/python3
"""The README's run command as a newcomer meets it, in a fresh clone of the commit (no build/
yet), on the clone's own demo computer. The clone has a fixed place in the checkout's build/,
so that each run ends what an interrupted one left running there."""

import os
import shutil
import signal
import subprocess
import threading
import time
import unittest
from pathlib import Path

from scripts.winebox import WineBox

SOURCE = Path(__file__).resolve().parents[2]
CLONE = SOURCE / "build" / "e2e-demo-clone"
DEMO_SECONDS = 600
README_RUN = ["/command", "start", "/service", "MorexDemo"]


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
    @classmethod
    def setUpClass(cls):
        """The clone, and the README's command in it: its first build interrupted once it
        is under way, then the command again."""
        cls.clone = CLONE
        cls.box = WineBox(CLONE / "build" / "demo-prefix", CLONE / "build" / "mingw")
        cls.box.destroy()
        shutil.rmtree(CLONE, ignore_errors=True)
        cls.addClassCleanup(shutil.rmtree, CLONE, ignore_errors=True)
        cls.addClassCleanup(cls.box.destroy)  # before the clone is deleted
        commit = subprocess.check_output(["git", "-C", SOURCE, "rev-parse", "HEAD"], text=True)
        subprocess.run(["git", "clone", "-q", SOURCE, CLONE], check=True, timeout=120)
        subprocess.run(["git", "-C", CLONE, "checkout", "-q", commit.strip()], check=True)
        first = cls.start(*README_RUN)
        while not (cls.clone / "build/mingw/Makefile").exists():  # configured: make runs
            assert first.poll() is None, "the first run ended before its build began"
            time.sleep(0.1)
        os.killpg(first.pid, signal.SIGINT)
        finish(first, 130)
        cls.first_run = finish(cls.start(*README_RUN))

    @classmethod
    def start(cls, *arguments):
        return subprocess.Popen(["scripts/run.sh", *arguments], cwd=cls.clone,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)

    def demo(self, *arguments, status=0):
        return finish(self.start(*arguments), status)

    def test_first_runs_take_turns_and_every_request_is_carried_out(self):
        """Two first runs at once take turns; each request is reported and done; mistyped
        options are refused, -- hands on the rest; after --shutdown nothing of ours runs."""
        self.demo("--new")
        outputs = [finish(d) for d in [self.start(*README_RUN) for _ in "12"]]
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
        lock, elsewhere = self.clone / "build/demo-prefix.lock", self.clone / "elsewhere"
        lock.unlink()
        lock.symlink_to(elsewhere)  # a planted link is refused, never followed
        self.assertIn("is a symbolic link", self.demo("--shutdown", status=1)[1])
        self.assertFalse(elsewhere.exists())
        lock.unlink()
        for mistyped in (["--version"], ["--shutdown", "now"], []):
            out, err = self.demo(*mistyped, status=2)
            self.assertEqual(out, "")
            self.assertIn("usage: scripts/run.sh", err)
        out, _ = self.demo("/command stop /service MorexDemo /SERVICE MorexDemo")
        self.assertIn("Exit code 1639.", out.splitlines())
        self.assertNotIn("Service MorexDemo is now", out)  # Morex named no service
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
        self.demo("--new")
        demo = self.start(*README_RUN)
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
        out, _ = self.demo(*README_RUN)
        self.assertIn(demo_line(100, "start MorexDemo"), out.splitlines())
        self.assertIn("Exit code 0.", out.splitlines())

    def test_readme_run_command_works_from_a_fresh_clone(self):
        """The first build, interrupted, is said again by the next run, which starts the
        service; warm runs interrupted at moments spread over their course each end whole or
        with the one line; --shutdown leaves nothing running."""
        started, building = self.first_run
        self.assertIn("Building the mingw tree", building)
        self.assertIn(demo_line(100, "start MorexDemo"), started.splitlines())
        self.assertIn("Service MorexDemo is now running.", started)
        self.assertEqual(started.count("Exit code 0."), 1)
        for moment in (0.3 * step / 9 for step in range(10)):
            warm = self.start(*README_RUN)
            time.sleep(moment)
            os.killpg(warm.pid, signal.SIGINT)
            out, err = warm.communicate(timeout=DEMO_SECONDS)
            ended = (warm.returncode, err.splitlines()[-1:],
                     "Traceback" in err or warm.returncode < 0 and out != "")
            self.assertIn(ended, [(0, [], False), (130, ["scripts/run.sh: interrupted"], False),
                                  (-signal.SIGINT, [], False)], f"at {moment:.2f} s:\n{err}")
        self.demo("--shutdown")
        self.assertEqual(self.box.our_processes(), [])


if __name__ == "__main__":
    unittest.main()
