#!/usr/bin/env bats
# The command line, the printed lines and the exit status, as a user sees them.

load helpers

@test "fewer than two operands: usage on stderr only, status 1" {
  # The last one has an empty argument vector: no program name to show.
  local shown
  for call in "$KESTRUNE_BINARY" "$KESTRUNE_BINARY demo" "perl -e exec{\$ARGV[0]}() $KESTRUNE_BINARY"; do
    run --separate-stderr contained $call
    shown=$KESTRUNE_BINARY
    [[ $call == perl* ]] && shown=kestrune
    [ "$status" -eq 1 ]
    [ "$stderr" = "Usage: $shown <container_name> <command>" ]
    [ -z "$output" ]
  done
  # The line ends with its newline.
  contained "$KESTRUNE_BINARY" demo 2>"$BATS_TEST_TMPDIR/usage" || true
  printf 'Usage: %s <container_name> <command>\n' "$KESTRUNE_BINARY" | cmp - "$BATS_TEST_TMPDIR/usage"
}

@test "on a pipe and in a file: start line, greeting, command output, once each" {
  run --separate-stderr contained "$KESTRUNE_BINARY" demo 'echo one; echo two >&2; echo three'
  [ "$status" -eq 0 ]
  [ "${lines[*]}" = "$(start_line demo) $(greeting 'echo one; echo two >&2; echo three') one three" ]
  [ "$stderr" = two ]

  contained "$KESTRUNE_BINARY" demo 'echo out' >"$BATS_TEST_TMPDIR/out"
  printf '%s\n' "$(start_line demo)" "$(greeting 'echo out')" out >"$BATS_TEST_TMPDIR/want"
  cmp "$BATS_TEST_TMPDIR/want" "$BATS_TEST_TMPDIR/out"

  # A name with a line break: the part of the start line after it, still
  # buffered, must not reach the container's copy of the buffer.
  run --separate-stderr contained "$KESTRUNE_BINARY" $'two\nlines' 'echo out'
  [ "$status" -eq 0 ]
  [ "$output" = "$(start_line $'two\nlines')
$(greeting 'echo out')
out" ]

  # The command gets the caller's environment and open descriptors, no more.
  run --separate-stderr contained env FOO=bar bash -c 'exec 7</dev/null; ls /proc/self/fd | paste -sd " "
    "$1" demo "echo \"\$FOO\"; ls /proc/self/fd | paste -sd \" \""' bash "$KESTRUNE_BINARY"
  [ "$status" -eq 0 ]
  [ "${lines[3]}" = bar ]
  [ "${lines[4]}" = "${lines[0]}" ]
}

@test "the command's own failure is not the tool's: status 0" {
  run --separate-stderr contained "$KESTRUNE_BINARY" demo 'exit 7'
  [ "$status" -eq 0 ]
  [ "${#lines[@]}" -eq 2 ]

  # A shell killed by a signal is the command's end, not the container's.
  run --separate-stderr contained "$KESTRUNE_BINARY" demo 'kill -KILL $$'
  [ "$status" -eq 0 ]
  [ "${#lines[@]}" -eq 2 ]

  run --separate-stderr contained "$KESTRUNE_BINARY" demo 'kestrune-no-such-command'
  [ "$status" -eq 0 ]
  [[ "$stderr" == *"kestrune-no-such-command"*"not found"* ]]

  # 127 is also how a C library may report a shell it could not start;
  # a caller that ignores SIGCHLD must not make the run look failed either.
  run --separate-stderr contained perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV' \
    "$KESTRUNE_BINARY" demo 'echo ran; exit 127'
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = ran ]
  [ -z "$stderr" ]
}

@test "operands are plain data: printed and handed to the shell unchanged" {
  # Format directives must not reach printf as a format.
  run --separate-stderr contained "$KESTRUNE_BINARY" '%s%n%x' 'echo "%s%n" '\''$HOME'\'' $((6*7))'
  [ "$status" -eq 0 ]
  [ "${lines[0]}" = "$(start_line '%s%n%x')" ]
  [ "${lines[1]}" = "$(greeting 'echo "%s%n" '\''$HOME'\'' $((6*7))')" ]
  [ "${lines[2]}" = '%s%n $HOME 42' ]

  # An empty name, and extra operands, which are ignored: a command with
  # blanks has to be a single operand.
  run --separate-stderr contained "$KESTRUNE_BINARY" '' 'echo only' 'echo extra' more
  [ "$status" -eq 0 ]
  [ "${lines[0]}" = 'Starting the container: ' ]
  [ "${lines[1]}" = "$(greeting 'echo only')" ]
  [ "${lines[2]}" = only ]
  [ "${#lines[@]}" -eq 3 ]

  # A command beginning with "-" is a command, not an option of the shell,
  # which is started as sh.
  run --separate-stderr contained "$KESTRUNE_BINARY" demo '-x; echo "$0"'
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = sh ]
  [[ "$stderr" == *"-x: not found" ]]

  # A 100 kB command reaches the shell whole.
  local big
  big="$(head -c 100000 /dev/zero | tr '\0' x)"
  run --separate-stderr contained "$KESTRUNE_BINARY" demo "echo $big | wc -c"
  [ "$status" -eq 0 ]
  [ "${lines[1]}" = "$(greeting "echo $big | wc -c")" ]
  [ "${lines[2]}" = 100001 ]
}

# Runs COMMAND in a copy of the tool as an ordinary user, through the
# wrapper given after it, if any; the copy has the mode $mode (0755 if
# unset). It sits on a file system of the test's own, over /tmp in the
# test's mount namespace, that the user can reach (the suite's folder may
# be closed to them) and that honours the set-user-ID bit (/tmp itself may
# be mounted nosuid). The tool is opened before that mount, which hides it
# where the tree is under /tmp. Sanitizer reports go to standard error,
# not to the build folder, which the user may not reach either.
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all)
as_nobody() {
  local command=$1
  shift
  contained bash -c 'exec 3<"$KESTRUNE_BINARY" && mount -t tmpfs -o mode=755 kestrune-test /tmp &&
    cat <&3 >/tmp/kestrune && exec 3<&- && chmod "$1" /tmp/kestrune && shift && exec "$@"' bash "${mode:-0755}" \
    env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:log_path=stderr}" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:log_path=stderr}" \
    "${nobody[@]}" "$@" /tmp/kestrune demo "$command"
}

@test "as an ordinary user: without the capability clone fails; set-user-ID, it refuses" {
  run --separate-stderr as_nobody 'echo should-not-run'
  [ "$status" -eq 1 ]
  [ "$output" = "$(start_line demo)" ]
  [ "$stderr" = "clone failed: Operation not permitted" ]

  # Installed set-user-ID root it would run any command as root for anyone:
  # it refuses before it writes or creates anything.
  mode=4755 run --separate-stderr as_nobody 'echo should-not-run'
  [ "$status" -eq 1 ]
  [ -z "$output" ]
  [ "$stderr" = "Refusing to run set-user-ID, set-group-ID or with file capabilities: any user could run any command as root" ]
}

@test "an ordinary user runs it in a user namespace of their own" {
  needs_user_namespaces "${nobody[@]}"
  run --separate-stderr as_nobody 'hostname; ps -e -o pid=,comm=' unshare --user --map-root-user
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = kestrune ]
  [ "$(printf '%s\n' "${lines[@]:3}" | tr -s ' ' | sed 's/^ //')" = "1 kestrune
2 sh
4 ps" ]
}

@test "a caller with a child of its own: the launcher waits for its container" {
  # The caller's child ends while the container runs; the tool must not take
  # its end for the container's.
  run --separate-stderr contained bash -c 'sleep 0.2 & exec "$1" demo "sleep 1; echo done"' \
    bash "$KESTRUNE_BINARY"
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = done ]

  # Or one that had ended, unreaped, before kestrune started.
  run --separate-stderr contained timeout 10 perl -e 'if (fork() == 0) { exit 0 }
    select(undef, undef, undef, 0.2); exec @ARGV' "$KESTRUNE_BINARY" demo 'echo ran'
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = ran ]
}
