#!/usr/bin/env bats
# Faults from outside a run: the launcher or the container killed, no
# process id left for the shell. (failed-steps.bats: each step made to fail.)

load helpers

@test "the container's process 1 killed from outside: status 137" {
  run --separate-stderr contained bash -c '
    launch "$1" "sleep 31.42; echo after"
    kill -KILL "$child"
    wait "$tool"' bash "$BATS_TEST_TMPDIR"
  [ "$status" -eq 137 ]
  [ "${lines[*]}" = "$(start_line demo) $(greeting "touch $BATS_TEST_TMPDIR/started; sleep 31.42; echo after")" ]
}

@test "a launcher killed as soon as its child exists leaves no container running" {
  # With every processor kept busy, the launcher is SIGKILLed at once after
  # creating the container, a hundred times. Each container must end (its
  # process 1 gone or a zombie); one that outlived its launcher would run
  # for 30 s.
  run --separate-stderr contained --pid --fork --mount-proc bash -c '
    for _ in $(seq "$(nproc)"); do (while :; do :; done) & done
    busy=$(jobs -p)
    trap "kill \$busy" EXIT
    for i in $(seq 100); do
      "$KESTRUNE_BINARY" demo "sleep 30" &
      tool=$!
      child=
      for ((n = 0; n < 100000 && ${#child} == 0; n++)); do
        read -r child <"/proc/$tool/task/$tool/children"
      done
      kill -KILL "$tool"
      wait "$tool"
      # Five seconds leave a loaded machine time to schedule the process 1
      # that the kernel has killed.
      for ((t = 0; t < 500; t++)); do
        [ -e "/proc/$child" ] && ! grep -q "^State:.Z" "/proc/$child/status" || break
        sleep 0.01
      done
      ((t < 500)) || break
    done
    echo "container $i: process 1 $(grep "^State" "/proc/$child/status" 2>/dev/null || echo ended)"'
  echo "$output"
  [ "$status" -eq 0 ]
  [ "${lines[-1]}" = "container 100: process 1 ended" ] ||
    [ "${lines[-1]}" = "container 100: process 1 State:	Z (zombie)" ]
}

@test "no process id left for the shell: the failure line and status 1" {
  needs_pids_cgroup
  # A cgroup of the test's own that holds this shell and may hold two more
  # processes: the launcher and the container, none for its shell.
  run --separate-stderr contained bash -c '
    echo $$ >"$2/cgroup.procs" && echo 3 >"$2/pids.max" || exit
    "$1" demo "echo the command ran"
    exit $? # not exec: the launcher is one of the three' bash "$KESTRUNE_BINARY" "$pids_cgroup"
  [ "$status" -eq 1 ]
  [ "${lines[*]}" = "$(start_line demo) $(greeting 'echo the command ran')" ]
  [ "$stderr" = "Failed to start the shell: Resource temporarily unavailable" ]
}
