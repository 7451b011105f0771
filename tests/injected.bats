#!/usr/bin/env bats
# Each step of a run made to fail in turn, as a system under strain or a
# hostile policy would: strace injects the failure.

load helpers

@test "a step that fails ends the run: one line naming it, status 1, nothing left, no hang" {
  needs_strace
  # Rows: how the tool is started, its command, its failure line (an extended
  # regular expression: C libraries word some errors apart). strace alone
  # reaches only the launcher, -f the container's process 1 as well, and
  # when=N counts each process's calls apart: process 1 waits a second time
  # once an orphan has ended. Nothing but that line may be on standard error,
  # where a command that must not run would say that it ran. The mounts are
  # shared, as under systemd, so that a mount or unmount that reached out of
  # the container would show; a caller that ignores TERM shows that a failed
  # wait ends the container with SIGKILL. A run that waits for its command's
  # long sleep is a hang: it is killed after a minute, which leaves an
  # emulated machine time for the others.
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
  local rows="prlimit --data=$((data * 1024 - page))|echo ran >&2|Failed to allocate memory for child stack: (Out of memory|Cannot allocate memory)"
  rows+='
prlimit --nofile=3|echo ran >&2|Failed to open a pipe: (No file descriptors available|Too many open files)
strace -e inject=rt_sigaction:error=EINVAL:when=1|echo ran >&2|Failed to set up signals: Invalid argument
strace -e inject=rt_sigaction:error=EINVAL:when=2|echo ran >&2|Failed to set up signals: Invalid argument
strace -e inject=rt_sigprocmask:error=EINVAL:when=1|echo ran >&2|Failed to set up signals: Invalid argument
strace -e inject=rt_sigtimedwait:error=EINVAL perl -e $SIG{TERM}=IGNORE;exec@ARGV|exec sleep 314.4|Failed to wait for the container: Invalid argument
strace -e inject=wait4:error=EINVAL|true|Failed to wait for the container: Invalid argument
strace -f -e inject=prctl:error=EINVAL:when=1|echo ran >&2|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=close:error=EINVAL:when=1|echo ran >&2|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=read:error=EINVAL:when=1|echo ran >&2|Failed to tie the container to its launcher: Invalid argument
strace -f -e inject=rt_sigtimedwait:error=EINVAL:when=2|(true &); exec sleep 314.4|Failed to wait for the command: Invalid argument
strace -f -e inject=wait4:error=EINVAL:when=2|(true &); exec sleep 314.4|Failed to wait for the command: Invalid argument
strace -f -e inject=mount:error=EPERM:when=2 -e inject=statfs:error=EACCES|echo ran >&2|Failed to mount proc: Operation not permitted
strace -f -e inject=mount:error=EPERM|echo ran >&2|Failed to mount proc: Operation not permitted'
  run --separate-stderr contained --pid --fork --mount-proc "${shared_inside[@]}" bash -c '
    save_mounts
    # As the kernel names the tool: its file name, cut to 15 characters.
    name=$(basename "$KESTRUNE")
    while IFS="|" read -r how command line; do
      wrapped=$how
      [[ $how == strace* ]] && wrapped="strace -o /dev/null ${how#strace }"
      shown=$(timeout -s KILL 60 $wrapped "$KESTRUNE" demo "$command" 2>&1 >/dev/null)
      status=$?
      echo "$how: status $status, $(pgrep -c -x "${name:0:15}|sleep") left, mounts $(mounts_now), $shown"
    done <<<"$1"' bash "$rows"
  printf '%s\n' "$output"
  local how command line i=0
  while IFS='|' read -r how command line; do
    [[ ${lines[i++]} =~ ": status 1, 0 left, mounts unchanged, "$line$ ]]
  done <<<"$rows"
  [ "${#lines[@]}" -eq "$i" ]

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
      echo "status $?, $(tail -n 1 strace.log), $(ls | grep -c core) core files"' bash "$calls" "$KESTRUNE"
    rm started
    echo "$calls: $output"
    local ended="killed by SIGQUIT"
    [ "$calls" = prctl,prlimit64,setrlimit ] && ended="exited with 131"
    [ "$output" = "status 131, +++ $ended +++, 0 core files" ]
  done
}
