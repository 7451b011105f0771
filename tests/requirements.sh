#!/bin/sh
# Run by CTest before the suites, with the path of bats as found at
# configure time and the tool they test. The suites create namespaces, mounts and host names:
# without root, or without one of their tools, they would fail case by case
# with nothing to say why, so this says it once.
if [ "$(id -u)" != 0 ]; then
  echo "The kestrune tests need root: run them as root." >&2
  exit 1
fi
bats=$1
case $bats in '' | *-NOTFOUND) bats=bats ;; esac
# Each tool the suites use, and the Debian package that brings it.
for pair in "$bats:bats" unshare:util-linux setpriv:util-linux \
  mountpoint:util-linux nsenter:util-linux prlimit:util-linux strace:strace ps:procps pgrep:procps hostname:hostname perl:perl \
  python3:python3 timeout:coreutils; do
  command -v "${pair%:*}" >/dev/null 2>&1 && continue
  echo "The kestrune tests need ${pair%:*}: apt-get install ${pair##*:}" >&2
  exit 1
done
# Options that an older util-linux lacks.
for option in "unshare --propagation" "unshare --map-root-user" "setpriv --inh-caps" \
  "prlimit --nofile"; do
  ${option% *} --help 2>&1 | grep -q -- "${option#* }" && continue
  echo "The kestrune tests need $option: util-linux 2.33 or later" >&2
  exit 1
done
# Every test runs the tool inside mount and UTS namespaces of its own.
if ! error=$(unshare --uts --mount true 2>&1); then
  echo "The kestrune tests need mount and UTS namespaces of their own: $error" >&2
  exit 1
fi
# The tool under test runs on this machine: a binary of another
# architecture, given by KESTRUNE_BINARY, would fail every case.
usage=$("$2" 2>&1)
status=$?
if [ "$status" != 1 ] || [ "$usage" != "Usage: $2 <container_name> <command>" ]; then
  echo "The kestrune tests need a kestrune that runs here: $2 exited with $status: $usage" >&2
  exit 1
fi
