"""A lock beside a Wine prefix (PREFIX.lock) that every command on the prefix holds, so that
two commands on one prefix take turns; the one that waits says so."""

import contextlib
import fcntl
import sys
import time

from scripts.box import BoxError

WAIT_SECONDS = 1200  # generous, as a busy 2-core machine is slow, but never endless


def _locked(lock_file):
    try:
        fcntl.flock(lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


class PrefixLock:
    def __init__(self, prefix):
        self.prefix = prefix
        self.path = prefix.with_name(prefix.name + ".lock")
        self._depth = 0  # a step that holds it may take it again, as `create` in `ensure_up`

    @contextlib.contextmanager
    def held(self):
        if self._depth:
            self._depth += 1
            try:
                yield
            finally:
                self._depth -= 1
            return
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.path, "a") as lock_file:  # closing it releases the lock
            self._acquire(lock_file)
            self._depth = 1
            try:
                yield
            finally:
                self._depth = 0

    def _acquire(self, lock_file):
        if _locked(lock_file):
            return
        print(f"Another command is using the Wine prefix {self.prefix}; waiting for it to "
              "finish...", file=sys.stderr, flush=True)
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            time.sleep(0.2)
            if _locked(lock_file):
                print(f"... the other command is done; going on with {self.prefix}.",
                      file=sys.stderr, flush=True)
                return
        raise BoxError(f"waiting for the lock {self.path}: another command held it for more "
                       f"than {WAIT_SECONDS} s")
