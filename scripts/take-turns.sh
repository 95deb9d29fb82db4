# shellcheck shell=bash
# Sourced by the scripts: take_turns LOCK_FILE MESSAGE holds an exclusive lock on LOCK_FILE
# until the script ends; when another command holds it, says MESSAGE on stderr and waits.
# Every lock file is in the checkout's build/, which no other user can plant a link in; it is
# opened without truncation. The lock goes with the process, so an interrupted command
# leaves none behind.
take_turns() {
  local fd
  exec {fd}<>"$1"
  if ! flock -n "$fd"; then
    echo "$2" >&2
    flock "$fd"
  fi
}
