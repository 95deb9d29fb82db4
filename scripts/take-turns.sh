# shellcheck shell=bash
# Sourced by the scripts: take_turns LOCK_FILE MESSAGE holds an exclusive lock on LOCK_FILE
# until the script ends; when another command holds it, says MESSAGE on stderr and waits, at
# most an hour (a whole test run takes minutes). This is the one lock of the harness. Every
# lock file is in the checkout's build/, which no other user can plant a link in; a link there
# all the same is refused, never followed, and the file is opened without truncation. The
# lock goes with the process, so an interrupted command leaves none behind.
take_turns() {
  local fd
  mkdir -p "$(dirname "$1")"
  if [ -L "$1" ]; then
    echo "$1 is a symbolic link, not a lock of ours; remove it" >&2
    exit 1
  fi
  exec {fd}<>"$1"
  flock -n "$fd" && return
  echo "$2" >&2
  flock -w 3600 "$fd" && return
  echo "$1 was held for more than an hour; giving up" >&2
  exit 1
}
