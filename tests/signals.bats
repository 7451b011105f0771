#!/usr/bin/env bats
# Signals: what the terminal sends is the command's, what a process sends to
# the launcher is passed on, and the launcher dies the command's death.

load helpers

@test "at a terminal, Ctrl-C, Ctrl-\\ and Ctrl-Z are the command's to act on" {
  needs_terminal
  # The command's marker is computed, so that the greeting cannot match it.
  local ready='echo go$((1+1))'

  # A command whose INT trap cleans up: the cleanup completes, and a script
  # running kestrune goes on. (The shell's wait, unlike a foreground
  # command, is cut short by a trapped signal, whenever it came.)
  run contained python3 "$BATS_TEST_DIRNAME/terminal.py" 'expect:go2\n' 'send:\x03' -- \
    bash -c '"$1" demo "trap \"sleep 0.2; echo cleaned; exit 3\" INT; sleep 30 & $2; wait"
      echo "status $?"' bash "$KESTRUNE_BINARY" "$ready"
  [ "$status" -eq 0 ]
  [ "${lines[-3]}" = "^Ccleaned" ]
  [ "${lines[-2]}" = "status 0" ]
  [ "${lines[-1]}" = "[exit 0]" ]

  # A plain command stops the script there, as it would by itself. Ctrl-C
  # comes once the command runs, not while the shell is starting it.
  local running='until:pgrep -fx "sleep 31.43" >/dev/null'
  run contained python3 "$BATS_TEST_DIRNAME/terminal.py" "$running" 'send:\x03' -- \
    bash -c '"$1" demo "sleep 31.43"; echo not reached' bash "$KESTRUNE_BINARY"
  [ "$status" -eq 0 ]
  [ "${lines[-1]}" = "^C[signal 2]" ]

  # A program that catches Ctrl-C survives it, twice, and ends normally.
  # Python acts on a signal between its steps: one that came after the
  # print, before a long sleep began, would wait for the sleep's end. Short
  # sleeps in a loop close that gap, which a prompt reading the terminal
  # would leave open too.
  local program='import time
for i in range(2):
    try:
        print(f"ready{i}", flush=True)
        while True:
            time.sleep(0.01)
    except KeyboardInterrupt:
        print("caught", flush=True)
print("done")'
  run contained python3 "$BATS_TEST_DIRNAME/terminal.py" 'expect:ready0\n' 'send:\x03' \
    expect:caught 'expect:ready1\n' 'send:\x03' expect:caught expect:done -- \
    "$KESTRUNE_BINARY" demo "exec python3 -c '$program'"
  [ "$status" -eq 0 ]
  [ "${lines[-1]}" = "[exit 0]" ]

  # Ctrl-\ on a plain command: the launcher ends by SIGQUIT, and dumps no
  # core, though allowed to (the command may: that is its own, and it goes
  # to the test's own directory).
  cd "$BATS_TEST_TMPDIR"
  run contained python3 "$BATS_TEST_DIRNAME/terminal.py" "$running" 'send:\x1c' -- \
    "$KESTRUNE_BINARY" demo "sleep 31.43"
  [ "$status" -eq 0 ]
  [ "${lines[-1]}" = '^\[signal 3]' ]

  # Ctrl-Z stops the run and fg, in a shell with job control, resumes it:
  # the launcher's wait goes on, and the command reads what was typed (the
  # terminal holds it until the command reads again).
  run contained python3 "$BATS_TEST_DIRNAME/terminal.py" 'expect:go2\n' 'send:\x1a' 'send:typed\n' -- \
    bash -c 'set -m; "$1" demo "$2; read -r line; echo got \$line"; fg; echo "status $?"' \
    bash "$KESTRUNE_BINARY" "$ready"
  [ "$status" -eq 0 ]
  [ "${lines[-3]}" = "got typed" ]
  [ "${lines[-2]}" = "status 0" ]
}

@test "signals sent to the launcher alone are passed on, and the command decides" {
  # SIGINT at its default whatever the suite was started with (a background
  # job of a script ignores it, and bash cannot undo that).
  run --separate-stderr contained --pid --fork --mount-proc "${shared_inside[@]}" \
    perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' bash -c '
    dir=$1
    exec >"$dir/out"
    set -m # background jobs must not start with SIGINT ignored
    save_mounts

    # A TERM trap cleans up before the launcher ends; the command ends
    # normally, so the run gives 0.
    launch "$dir" "trap \"sleep 0.2; echo cleaned >$dir/cleaned; exit 3\" TERM; touch $dir/trapped; sleep 30"
    await "$dir/trapped"
    kill -TERM "$tool"
    wait "$tool"
    echo "TERM trapped: status $?, $(cat "$dir/cleaned")"

    # A plain command dies of the signal, and so does the launcher.
    for signal in TERM HUP INT; do
      launch "$dir" "sleep 30; echo after"
      ns=$(stat -L -c %i "/proc/$child/ns/pid")
      kill -"$signal" "$tool"
      wait "$tool"
      echo "$signal: status $?, $(left_after_end "$ns") left, mounts $(mounts_now)"
    done

    # USR1 reaches a trap, and the run goes on to its end.
    rm "$dir/trapped"
    launch "$dir" "trap \"touch $dir/usr1\" USR1; touch $dir/trapped; until [ -e $dir/usr1 ]; do sleep 0.01; done; echo usr1 seen"
    await "$dir/trapped"
    kill -USR1 "$tool"
    wait "$tool"
    echo "USR1: status $?"

    # Process 1 stopped and continued from outside (a debugger, a freezer)
    # keeps waiting for its command.
    rm "$dir/trapped"
    launch "$dir" "touch $dir/trapped; until [ -e $dir/go ]; do sleep 0.01; done; echo resumed"
    await "$dir/trapped"
    kill -STOP "$child"
    until grep -q "^State:.T" "/proc/$child/status"; do sleep 0.01; done
    kill -CONT "$child"
    while grep -q "^State:.T" "/proc/$child/status"; do sleep 0.01; done
    touch "$dir/go"
    wait "$tool"
    echo "process 1 stopped and continued: status $?"
    rm "$dir/go"

    # Process 1 drops what is sent to it from inside.
    "$KESTRUNE_BINARY" demo "kill -TERM 1; echo still here"
    echo "TERM to process 1 from inside: status $?"

    # Ignored by the command, TERM changes nothing; SIGKILL ends it all.
    rm "$dir/trapped"
    launch "$dir" "trap \"\" TERM; touch $dir/trapped; until [ -e $dir/go ]; do sleep 0.01; done; touch $dir/survived; sleep 30"
    ns=$(stat -L -c %i "/proc/$child/ns/pid")
    await "$dir/trapped"
    kill -TERM "$tool"
    touch "$dir/go"
    await "$dir/survived"
    kill -KILL "$tool"
    wait "$tool"
    echo "TERM ignored, then KILL: status $?, $(left_after_end "$ns") left, mounts $(mounts_now)"
    ' bash "$BATS_TEST_TMPDIR"
  [ "$status" -eq 0 ]
  # A container that outlived its launcher would print after.
  local summary
  summary="$(grep -v '^Starting\|^Container' "$BATS_TEST_TMPDIR/out")"
  echo "$summary"
  [ "$summary" = "TERM trapped: status 0, cleaned
TERM: status 143, 0 left, mounts unchanged
HUP: status 129, 0 left, mounts unchanged
INT: status 130, 0 left, mounts unchanged
usr1 seen
USR1: status 0
resumed
process 1 stopped and continued: status 0
still here
TERM to process 1 from inside: status 0
TERM ignored, then KILL: status 137, 0 left, mounts unchanged" ]
}

@test "under timeout the command's TERM trap runs to its end: 124" {
  # Two seconds leave a loaded machine time to set the trap first.
  run --separate-stderr contained timeout 2 "$KESTRUNE_BINARY" demo \
    "trap 'sleep 0.2; echo cleaned >$BATS_TEST_TMPDIR/cleaned; exit 3' TERM; sleep 30"
  [ "$status" -eq 124 ]
  [ "$(cat "$BATS_TEST_TMPDIR/cleaned")" = cleaned ]
}

@test "the command starts with the caller's blocked and ignored signals" {
  # USR1 (10) blocked and TERM ignored by the caller are among the signals that
  # kestrune passes on; WINCH (28) and ALRM are not.
  local caller='use POSIX; sigprocmask(SIG_BLOCK, POSIX::SigSet->new(10, 28));
    $SIG{TERM} = $SIG{ALRM} = "IGNORE"; exec @ARGV'
  # Debian's sh, dash, clears the mask it starts with, so that no command
  # could tell; bash, which keeps it as other shells do, stands in for sh.
  local bash_as_sh='mount --bind "$(command -v bash)" /bin/sh && exec "$@"'
  local show='grep -E "^Sig(Blk|Ign)" /proc/self/status'
  # Signals 32 to 34 are the C library's own: glibc's posix_spawn leaves
  # the two it uses ignored, which is no state of the caller's.
  callers() { while read -r name set; do printf '%s %x\n' "$name" $((0x$set & ~(7 << 31))); done; }
  run --separate-stderr contained bash -c "$bash_as_sh" bash perl -e "$caller" sh -c "$show"
  [ "$status" -eq 0 ]
  local want
  want="$(callers <<<"$output")"
  # The caller's blocked and ignored signals took, whatever else it inherited.
  [[ $want =~ ^"SigBlk: "([0-9a-f]+)$'\n'"SigIgn: "([0-9a-f]+)$ ]]
  (((0x${BASH_REMATCH[1]} & 0x8000200) == 0x8000200 && (0x${BASH_REMATCH[2]} & 0x6000) == 0x6000))
  run --separate-stderr contained bash -c "$bash_as_sh" bash perl -e "$caller" "$KESTRUNE_BINARY" demo "$show"
  [ "$status" -eq 0 ]
  [ "$(printf '%s\n' "${lines[@]:2}" | callers)" = "$want" ]
}

@test "the caller's signal rules hold, every signal is passed on, neither wait blocks it" {
  needs_terminal
  # Rows of four: the caller's perl code before it runs kestrune, the
  # command, which prints go2 once ready, the steps after that, and what
  # the terminal shows after go2. USR1 and USR2 rank below TERM, HUP below
  # them: signals pending together are taken lowest first.
  local tmp=$BATS_TEST_TMPDIR handlers='$|=1; $SIG{HUP} = sub { print "HUP seen\n" };
    $SIG{INT} = sub { print "INT seen\n" };
    $SIG{TERM} = sub { print "TERM seen\n"; exit }; $SIG{USR1} = sub { print "USR1 seen\n"; exit }'
  local rows=(
    '' 'trap "echo USR2 seen; exit" USR2; echo go$((2)); sleep 10 & wait' kill:USR2 'USR2 seen|[exit 0]'
    # Dying of the HUP it passed on, not exiting 129; and not dying of it
    # where the command traps it.
    '' 'echo go$((2)); exec sleep 10' kill:HUP '[signal 1]'
    '' 'trap "echo HUP seen; exit" HUP; echo go$((2)); sleep 10 & wait' kill:HUP 'HUP seen|[exit 0]'
    # Ignored by the caller: not passed on, though the command catches it.
    '$SIG{HUP} = "IGNORE"' "exec perl -e '$handlers; print \"go\", 2, \"\\n\"; sleep 10 while 1'"
    $'kill:HUP\nkill:USR1' 'USR1 seen|[exit 0]'
    # Blocked by the caller: it does not end the launcher.
    'use POSIX; sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGALRM))'
    'trap "echo USR1 seen; exit" USR1; echo go$((2)); sleep 10 & wait' $'kill:ALRM\nkill:USR1' 'USR1 seen|[exit 0]'
    # To every process of the container, also one in a session of its own.
    '' "trap '' TERM; setsid perl -e '$handlers; print \"go\", 2, \"\\n\"; sleep 10' & wait" kill:TERM 'TERM seen|[exit 0]'
    # What the terminal sent the foreground group is not sent again: such a
    # process, which the terminal cannot reach, gets only the USR1 after it.
    '' "trap '' INT USR1; setsid perl -e '$handlers; print \"go\", 2, \"\\n\"; sleep 10' & wait"
    $'send:\\x03\nexpect:^C\nkill:USR1' '^CUSR1 seen|[exit 0]'
    # Once process 1 has reaped an orphan, it still takes signals.
    '' 'trap "echo TERM seen; exit" TERM; (sleep 0.01 &)
      while ps -e -o stat=,args= | grep -q "^[^Z]* sleep 0.01$\|^Z"; do sleep 0.01; done
      echo go$((2)); sleep 10 & wait' kill:TERM 'TERM seen|[exit 0]'
    # Once a child of the caller's has ended, so does the launcher.
    "if (fork == 0) { select undef, undef, undef, 0.01 until -e '$tmp/ready'; exit }"
    "trap 'echo TERM seen; exit' TERM; touch $tmp/ready; echo go\$((2)); sleep 10 & wait"
    $'until:ps -e -o stat=,comm= | grep -q "^Z.*perl"\nkill:TERM' 'TERM seen|[exit 0]'
  )
  local i steps shown
  for ((i = 0; i < ${#rows[@]}; i += 4)); do
    mapfile -t steps <<<"${rows[i + 2]}"
    run contained --pid --fork --mount-proc python3 "$BATS_TEST_DIRNAME/terminal.py" 'expect:go2\n' \
      "${steps[@]}" -- perl -e "${rows[i]}; exec @ARGV" "$KESTRUNE_BINARY" demo "${rows[i + 1]}"
    shown="$(printf '%s\n' "${lines[@]}" | sed '1,/^go2$/d' | paste -sd '|')"
    echo "row $((i / 4 + 1)): $shown"
    [ "$shown" = "${rows[i + 3]}" ]
  done
}
