#!/usr/bin/env bats
# Faults around a run: the launcher or the container killed, no shell.

load helpers

@test "the launcher signalled alone: the container ends with it, status 128+N" {
  # In a PID namespace of its own, the orphans that the host's init may
  # never reap are reaped when the test ends.
  run --separate-stderr contained --propagation shared --pid --fork --mount-proc bash -c '
    kestrune=$1 dir=$2
    set -m  # background jobs must not start with SIGINT ignored
    running_in() {
      stat -L -c "%i %n" /proc/[0-9]*/ns/pid 2>/dev/null | while read -r ns path; do
        path=${path%/ns/pid}
        [ "$ns" = "$1" ] && read -r _ _ state _ <"$path/stat" && [ "$state" != Z ] && echo
      done | wc -l
    }
    before=$(cat /proc/self/mountinfo)
    for signal in TERM INT HUP KILL; do
      rm -f "$dir/started"
      "$kestrune" demo "touch $dir/started; sleep 30; echo after" &
      tool=$!
      await "$dir/started"
      # The PID namespace of the container, to find its processes by.
      read -r child </proc/$tool/task/$tool/children
      ns=$(stat -L -c %i "/proc/$child/ns/pid") || exit 1
      kill -"$signal" "$tool"
      wait "$tool"
      status=$?
      # Within half a second no process of the container is left running:
      # none but zombies is in its PID namespace.
      end=$((${EPOCHREALTIME/./} + 500000))
      while left=$(running_in "$ns") && ((left > 0 && ${EPOCHREALTIME/./} < end)); do
        sleep 0.01
      done
      mounts=changed
      [ "$(cat /proc/self/mountinfo)" = "$before" ] && mounts=unchanged
      echo "$signal: status $status, $left left, mounts $mounts"
    done' bash "$KESTRUNE" "$BATS_TEST_TMPDIR"
  [ "$status" -eq 0 ]
  # A container that outlived its launcher would print after.
  [ "$(printf '%s\n' "${lines[@]}" | grep -cx after)" = 0 ]
  local summary
  summary="$(printf '%s\n' "${lines[@]}" | grep ': status')"
  [ "$summary" = "TERM: status 143, 0 left, mounts unchanged
INT: status 130, 0 left, mounts unchanged
HUP: status 129, 0 left, mounts unchanged
KILL: status 137, 0 left, mounts unchanged" ]
}

@test "the container's process 1 killed from outside: status 137" {
  run --separate-stderr contained bash -c '
    "$1" demo "touch $2/started; sleep 31.42; echo after" &
    tool=$!
    await "$2/started"
    read -r child </proc/$tool/task/$tool/children
    kill -KILL "$child"
    wait "$tool"' bash "$KESTRUNE" "$BATS_TEST_TMPDIR"
  [ "$status" -eq 137 ]
  [ "${lines[*]}" = "$(start_line demo) $(greeting "touch $BATS_TEST_TMPDIR/started; sleep 31.42; echo after")" ]
}

@test "no process id left for the shell: the failure line and status 1" {
  # A PID namespace of the test's own, whose pid_max is its own, filled
  # without a fork beside the sleepers, so that exactly two ids are left:
  # one for the launcher and one for the container, none for its shell.
  run --separate-stderr contained --pid --fork --mount-proc bash -c '
    for ((i = 0; i < 301; i++)); do sleep 1000 & done
    echo $(($! + 3)) >/proc/sys/kernel/pid_max
    "$1" demo "echo the command ran"
    exit $? # not exec: the launcher needs an id of its own' bash "$KESTRUNE"
  [ "$status" -eq 1 ]
  [ "${lines[*]}" = "$(start_line demo) $(greeting 'echo the command ran')" ]
  [ "$stderr" = "Failed to start the shell: Resource temporarily unavailable" ]
}
