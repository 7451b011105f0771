#!/usr/bin/env bats
# Each step of a run made to fail in turn, as a system under strain or a
# hostile policy would: strace injects the failure into the call it names.
# (outside-faults.bats: what happens to a run from outside it.)

load helpers

@test "a step that fails ends the run: one line naming it, status 1, nothing left, no hang" {
  needs_strace
  # Rows: how the tool is started, its command, whether the greeting shows
  # (an extended regular expression: a container killed as it starts may
  # not have greeted yet), its failure line (C libraries word some errors
  # apart). strace alone reaches only the launcher, -f the container's
  # process 1 as well, and when=N counts each process's calls apart: process
  # 1 waits a second time once an orphan has ended. Each row runs at a
  # terminal, where every line shows as it is written: a greeting that a
  # container wrote though it ran nothing would show there, where on a pipe
  # it may be lost with the container. Nothing but the failure line may be
  # on standard error, where a command that must not run would say that it
  # ran. The mounts are shared, as under systemd, so that a mount or unmount
  # that reached out of the container would show; a caller that ignores TERM
  # shows that a failed wait ends the container with SIGKILL. A run that
  # waits for its command's long sleep is a hang: it is killed after a
  # minute, which leaves an emulated machine time for the others.
  #
  # No room for the stack: a data limit one page below what the launcher
  # holds once it waits, its loaded segments and the stack, the last it
  # takes. That holds for any page size and layout; below its segments alone
  # the kernel kills the tool as it loads it, before any of its code runs.
  local page data
  page=$(getconf PAGESIZE)
  mkdir "$BATS_TEST_TMPDIR/data"
  data=$(contained bash -c 'launch "$1" "until [ -e $1/go ]; do sleep 0.01; done" >/dev/null
    sed -n "s/^VmData:[[:space:]]*\([0-9]*\) kB$/\1/p" "/proc/$tool/status"
    touch "$1/go"
    wait "$tool"' bash "$BATS_TEST_TMPDIR/data")
  [[ $data =~ ^[0-9]+$ ]]
  local rows="prlimit --data=$((data * 1024 - page))|echo ran >&2|none|Failed to allocate memory for child stack: (Out of memory|Cannot allocate memory)"
  rows+='
prlimit --nofile=3|echo ran >&2|none|Failed to open a pipe: (No file descriptors available|Too many open files)
strace -e inject=rt_sigaction:error=EINVAL:when=1|echo ran >&2|none|Failed to set up signals: Invalid argument
strace -e inject=rt_sigaction:error=EINVAL:when=2|echo ran >&2|none|Failed to set up signals: Invalid argument
strace -e inject=rt_sigprocmask:error=EINVAL:when=1|echo ran >&2|none|Failed to set up signals: Invalid argument
strace -e inject=rt_sigtimedwait:error=EINVAL perl -e $SIG{TERM}=IGNORE;exec@ARGV|exec sleep 314.4|(greeting|none)|Failed to wait for the container: Invalid argument
strace -e inject=wait4:error=EINVAL|true|greeting|Failed to wait for the container: Invalid argument
strace -f -e inject=prctl:error=EINVAL:when=1|echo ran >&2|none|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=close:error=EINVAL:when=1|echo ran >&2|none|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=read:error=EINVAL:when=1|echo ran >&2|none|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=rt_sigtimedwait:error=EINVAL:when=2|(true &); exec sleep 314.4|greeting|Failed to wait for the command: Invalid argument
strace -f -e inject=wait4:error=EINVAL:when=2|(true &); exec sleep 314.4|greeting|Failed to wait for the command: Invalid argument
strace -f -e inject=mount:error=EPERM:when=2 -e inject=statfs:error=EACCES|echo ran >&2|greeting|Failed to mount proc: Operation not permitted
strace -f -e inject=mount:error=EPERM|echo ran >&2|greeting|Failed to mount proc: Operation not permitted'
  run --separate-stderr contained --pid --fork --mount-proc "${shared_inside[@]}" bash -c '
    save_mounts
    # As the kernel names the tool: its file name, cut to 15 characters.
    name=$(basename "$KESTRUNE_BINARY")
    printf -v nl "\n"
    while IFS="|" read -r how command greets line; do
      wrapped=$how
      [[ $how == strace* ]] && wrapped="strace -o /dev/null ${how#strace }"
      screen=$(python3 "$2" -- bash -c "exec \"\$@\" 2>$3/errors" bash \
        timeout -s KILL 60 $wrapped "$KESTRUNE_BINARY" demo "$command")
      case $screen in
        "$(start_line demo)$nl[exit 1]") ended="status 1, none" ;;
        "$(start_line demo)$nl$(greeting "$command")$nl[exit 1]") ended="status 1, greeting" ;;
        *) ended="the terminal showed: ${screen//$nl/|}" ;;
      esac
      echo "$how: $ended, $(pgrep -c -x "${name:0:15}|sleep") left, mounts $(mounts_now), $(<"$3/errors")"
    done <<<"$1"' bash "$rows" "$BATS_TEST_DIRNAME/terminal.py" "$BATS_TEST_TMPDIR"
  printf '%s\n' "$output"
  local how command greets line i=0
  while IFS='|' read -r how command greets line; do
    [[ ${lines[i++]} =~ ": status 1, "$greets", 0 left, mounts unchanged, "$line$ ]]
  done <<<"$rows"
  [ "${#lines[@]}" -eq "$i" ]

  # A wait that fails while the container runs: the launcher ends the
  # container, and returns only once it has ended. A process of the
  # container whose parent is outside it (nsenter's child) holds process 1
  # in its end until that parent collects it; the launcher must still be
  # waiting then. (One that returned at once would be gone within the
  # second watched.) USR1 is passed on, and ignored by the command.
  local holder='$SIG{USR1} = "IGNORE"; my $dir = shift;
    defined(my $held = fork) or die "fork: $!";
    exec "sleep", "314.5" unless $held;
    open my $file, ">", "$dir/held.new" or die; print $file "$held\n"; close $file;
    rename "$dir/held.new", "$dir/held";
    select undef, undef, undef, 0.01 until -e "$dir/release";
    waitpid $held, 0'
  mkdir "$BATS_TEST_TMPDIR/held"
  run --separate-stderr contained --pid --fork --mount-proc bash -c '
    dir=$1
    strace -o /dev/null -e inject=rt_sigtimedwait:error=EINVAL:when=2 "$KESTRUNE_BINARY" demo \
      "trap \"\" USR1; touch $dir/started; exec sleep 314.4" >/dev/null 2>"$dir/errors" &
    traced=$!
    await "$dir/started"
    read -r tool <"/proc/$traced/task/$traced/children"
    read -r child <"/proc/$tool/task/$tool/children"
    nsenter --target "$child" --pid --no-fork perl -e "$2" "$dir" &
    await "$dir/held"
    read -r held <"$dir/held"
    kill -USR1 "$tool"
    until grep -q "^State:.Z" "/proc/$held/status"; do sleep 0.01; done
    for ((n = 0; n < 100; n++)); do
      grep -q "^State:.[^Z]" "/proc/$tool/status" 2>/dev/null || break
      sleep 0.01
    done
    echo "launcher $( ((n == 100)) && echo "still waiting" || echo gone) while the container ends"
    touch "$dir/release"
    wait "$traced"
    echo "then status $?, $(<"$dir/errors")"' bash "$BATS_TEST_TMPDIR/held" "$holder"
  echo "$output"
  [ "$output" = "launcher still waiting while the container ends
then status 1, Failed to wait for the container: Invalid argument" ]

  # Kept from making itself undumpable, or from lowering its core limit, the
  # launcher still leaves no core of its own when it dies of SIGQUIT; kept
  # from both, it exits with 131 instead. (The command leaves none either.)
  cd "$BATS_TEST_TMPDIR"
  for calls in prctl prlimit64,setrlimit prctl,prlimit64,setrlimit; do
    run --separate-stderr contained bash -c '
      ulimit -c unlimited
      perl -e "\$SIG{QUIT} = \"DEFAULT\"; exec @ARGV" strace -o strace.log -e inject="$1":error=EPERM "$2" demo "ulimit -c 0; touch started; exec sleep 31.44" >/dev/null &
      await started
      read -r tool <"/proc/$!/task/$!/children"
      kill -QUIT "$tool"
      wait $!
      echo "status $?, $(tail -n 1 strace.log), $(ls | grep -c core) core files"' bash "$calls" "$KESTRUNE_BINARY"
    rm started
    echo "$calls: $output"
    local ended="killed by SIGQUIT"
    [ "$calls" = prctl,prlimit64,setrlimit ] && ended="exited with 131"
    [ "$output" = "status 131, +++ $ended +++, 0 core files" ]
  done
}
