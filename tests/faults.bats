#!/usr/bin/env bats
# Faults around a run: the launcher or the container killed, no shell.

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
  # With both processors kept busy, the launcher is SIGKILLed at once after
  # creating the container, a hundred times. Each container must end (its
  # process 1 gone or a zombie); one that outlived its launcher would run
  # for 30 s.
  run --separate-stderr contained --pid --fork --mount-proc bash -c '
    for _ in 1 2; do (while :; do :; done) & done
    busy=$(jobs -p)
    trap "kill \$busy" EXIT
    for i in $(seq 100); do
      "$KESTRUNE" demo "sleep 30" &
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

@test "a step that fails ends the run: one line naming it, status 1, nothing left, no hang" {
  # Rows: how the tool is started, its command, its failure line (an
  # extended regular expression: C libraries word some errors apart). strace
  # alone reaches only the launcher, -f the container's process 1 as well,
  # and when=N counts each process's calls apart: process 1 waits a second
  # time once an orphan has ended. Nothing but that line may be on standard
  # error, where a command that must not run would say that it ran.
  local rows='prlimit --nofile=3|echo ran >&2|Failed to open a pipe: (No file descriptors available|Too many open files)
strace -e inject=rt_sigaction:error=EINVAL:when=1|echo ran >&2|Failed to set up signals: Invalid argument
strace -e inject=rt_sigprocmask:error=EINVAL:when=1|echo ran >&2|Failed to set up signals: Invalid argument
strace -e inject=rt_sigtimedwait:error=EINVAL|exec sleep 31.44|Failed to wait for the container: Invalid argument
strace -e inject=wait4:error=EINVAL|true|Failed to wait for the container: Invalid argument
strace -f -e inject=prctl:error=EINVAL:when=1|echo ran >&2|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=read:error=EINVAL:when=1|echo ran >&2|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=rt_sigtimedwait:error=EINVAL:when=2|(true &); exec sleep 31.44|Failed to wait for the command: Invalid argument
strace -f -e inject=wait4:error=EINVAL:when=2|(true &); exec sleep 31.44|Failed to wait for the command: Invalid argument
strace -f -e inject=mount:error=EPERM:when=2 -e inject=statfs:error=EACCES|echo ran >&2|Failed to mount proc: Operation not permitted'
  run --separate-stderr contained --pid --fork --mount-proc bash -c '
    save_mounts
    while IFS="|" read -r how command line; do
      run=$how
      [[ $how == strace* ]] && run="strace -o /dev/null ${how#strace }"
      shown=$(timeout -s KILL 10 $run "$KESTRUNE" demo "$command" 2>&1 >/dev/null)
      status=$?
      echo "$how: status $status, $(pgrep -c -x "kestrune|sleep") left, mounts $(mounts_now), $shown"
    done <<<"$1"' bash "$rows"
  printf '%s\n' "$output"
  local how command line i=0
  while IFS='|' read -r how command line; do
    [[ ${lines[i++]} =~ ": status 1, 0 left, mounts unchanged, "$line$ ]]
  done <<<"$rows"
  [ "${#lines[@]}" -eq "$i" ]

  # Kept from making itself undumpable, the launcher still leaves no core of
  # its own when it dies of SIGQUIT; kept from the core limit too, it exits
  # with 131 instead. (The command leaves none either.)
  cd "$BATS_TEST_TMPDIR"
  for calls in prctl prctl,prlimit64,setrlimit; do
    run --separate-stderr contained bash -c '
      ulimit -c unlimited
      set -m # or the background job starts with SIGQUIT ignored
      strace -o strace.log -e inject="$1":error=EPERM "$2" demo "touch started; ulimit -c 0; exec sleep 31.44" >/dev/null &
      await started
      read -r tool <"/proc/$!/task/$!/children"
      kill -QUIT "$tool"
      wait $!
      echo "status $?, $(tail -n 1 strace.log), $(ls | grep -c core) core files"' bash "$calls" "$KESTRUNE"
    rm started
    echo "$calls: $output"
    local ended="exited with 131"
    [ "$calls" = prctl ] && ended="killed by SIGQUIT"
    [ "$output" = "status 131, +++ $ended +++, 0 core files" ]
  done
}
