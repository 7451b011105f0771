#!/usr/bin/env bats
# What the command sees inside the container, and what process 1 does for it.

load helpers

@test "host name is kestrune inside and stays the outer one outside; proc is writable" {
  run --separate-stderr contained sh -c '
    hostname outer-name
    "$1" demo "hostname; echo 500 >/proc/self/oom_score_adj && cat /proc/self/oom_score_adj"
    hostname' sh "$KESTRUNE_BINARY"
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = kestrune ]
  [ "${lines[3]}" = 500 ]
  [ "${lines[4]}" = outer-name ]
}

@test "own PID, mount and UTS namespaces; the caller's network, IPC, users and cgroups" {
  local kinds='pid mnt uts net ipc user cgroup'
  run --separate-stderr contained "${shared_inside[@]}" bash -c '
    for kind in $2; do echo "$kind $(readlink /proc/self/ns/$kind)"; done >"$3/outside"
    "$1" demo "for kind in $2; do echo \"\$kind \$(readlink /proc/self/ns/\$kind)\"; done" |
      tail -n +3 >"$3/inside"
    diff "$3/outside" "$3/inside" | sed -n "s/^> \([a-z]*\) .*/\1/p"' \
    bash "$KESTRUNE_BINARY" "$kinds" "$BATS_TEST_TMPDIR"
  [ "$status" -eq 0 ]
  [ "$(wc -l <"$BATS_TEST_TMPDIR/inside")" -eq 7 ]
  # Only these differ.
  [ "${lines[*]}" = "pid mnt uts" ]
}

@test "only the container's processes are visible, the tool's child as 1" {
  # No pipeline: each process listed has been started before ps reads /proc.
  run --separate-stderr contained "$KESTRUNE_BINARY" demo 'ps -e -o pid=,comm='
  [ "$status" -eq 0 ]
  # The kernel shows a process by its file's name, cut to 15 characters.
  local name
  name=$(basename "$KESTRUNE_BINARY")
  [ "$(printf '%s\n' "${lines[@]:2}" | tr -s ' ' | sed 's/^ //')" = "1 ${name:0:15}
2 sh
3 ps" ]
}

@test "a background job ends with the container, before the tool returns" {
  # A duration no other process on the machine is likely to sleep for; the
  # command waits until the job has become that sleep.
  local marker='sleep 31.41'
  run --separate-stderr contained sh -c '
    "$1" demo "$2 >/dev/null 2>&1 &
      until ps -e -o args= | grep -qx \"$2\"; do sleep 0.01; done; echo running"
    echo "status $?"
    ps -e -o args= | grep -cx "$2"' sh "$KESTRUNE_BINARY" "$marker"
  # The command has two lines, and so has the greeting.
  [ "${lines[3]}" = running ]
  [ "${lines[4]}" = "status 0" ]
  [ "${lines[5]}" = 0 ]
}

@test "process 1 reaps orphans: none stays a zombie" {
  # 200 orphans, re-parented to process 1 as each subshell ends: once they
  # have all run, no zombie is left for long.
  run --separate-stderr contained "$KESTRUNE_BINARY" demo '
    for i in $(seq 200); do (sleep 0.011 &); done
    while ps -e -o stat=,args= | grep -q "^[^Z]* sleep 0.011$"; do sleep 0.05; done
    for i in $(seq 100); do
      zombies=$(ps -e -o stat= | grep -c Z)
      [ "$zombies" = 0 ] && break
      sleep 0.05
    done
    echo "zombies: $zombies"'
  [ "$status" -eq 0 ]
  [ "${lines[-1]}" = "zombies: 0" ]
}

@test "process 1 reaps orphans: none holds a process id" {
  needs_pids_cgroup
  # Where only 200 processes may exist, 600 short-lived orphans make no fork
  # fail: each counts until its orphan has been reaped.
  run --separate-stderr contained bash -c '
    echo $$ >"$2/cgroup.procs" && echo 200 >"$2/pids.max" || exit
    "$1" demo "for i in \$(seq 600); do (true &); done; echo forked"
    echo "status $?"' bash "$KESTRUNE_BINARY" "$pids_cgroup"
  [ "${lines[2]}" = forked ]
  [ "${lines[3]}" = "status 0" ]
  [ -z "$stderr" ]
}
