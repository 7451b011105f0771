# Shared by the suites. KESTRUNE is the path of the built tool, set by CTest.

bats_require_minimum_version 1.5.0

: "${KESTRUNE:?KESTRUNE must name the built kestrune binary}"
export KESTRUNE

# Every run of the tool happens inside namespaces of the test's own, so that
# even a broken build can neither rename this machine nor leave a mount behind.
# Extra unshare options may come first.
contained() {
  if [ -z "${KESTRUNE_SANITIZER_REPORTS:-}" ]; then
    unshare --uts --mount "$@"
    return
  fi
  # Inside the container (a clone child) UndefinedBehaviorSanitizer writes its
  # reports to standard error even when told to log to files, and the tool
  # never reads the container's status: keep a copy for the final check.
  local status=0
  unshare --uts --mount "$@" 2> >(tee -a "$KESTRUNE_SANITIZER_REPORTS/stderr" >&2) ||
    status=$?
  wait $!
  return "$status"
}

# Premises that a machine may lack: a test that needs one says so first, and
# is skipped with the reason when it is missing.
needs_user_namespaces() {
  # As the user given (setpriv's options), or as root.
  contained "$@" unshare --user --map-root-user true 2>/dev/null ||
    skip "no user namespaces here: a chroot, user.max_user_namespaces is 0, or a policy forbids them"
}
needs_terminal() {
  python3 -c 'import os, pty; os.close(pty.openpty()[0])' 2>/dev/null ||
    skip "no pseudo-terminal can be opened here: /dev/pts is not mounted"
}
needs_own_pid_max() {
  # Before Linux 6.14 pid_max belongs to the whole machine, whatever the
  # namespace: lowering it would starve every process on the machine.
  local major minor
  IFS=. read -r major minor _ < <(uname -r)
  ((major > 6 || (major == 6 && minor >= 14))) ||
    skip "pid_max is the whole machine's, not a PID namespace's, before Linux 6.14 (this is $(uname -r))"
}
needs_strace() {
  strace -o /dev/null true 2>/dev/null ||
    skip "strace cannot trace here: ptrace is forbidden (kernel.yama.ptrace_scope is 3, or a seccomp policy)"
}

start_line() { printf 'Starting the container: %s' "$1"; }
greeting() { printf 'Container initialized. Running command: %s' "$1"; }

# The rest is for the scripts that the tests run with bash -c.

# Waits up to ten seconds for a file, so that a tool that never starts the
# command fails the test instead of hanging it.
await() {
  for _ in $(seq 1000); do [ -e "$1" ] && return; sleep 0.01; done
  echo "gave up waiting for $1"
  exit 1
}

# Starts the tool in the background on COMMAND, once the container has
# touched DIR/started, and waits for that. Sets tool (the launcher's id) and
# child (the container's process 1, as numbered out here).
launch() {
  rm -f "$1/started"
  "$KESTRUNE" demo "touch $1/started; $2" &
  tool=$!
  await "$1/started"
  read -r child <"/proc/$tool/task/$tool/children"
}

# Prints how many processes of PID namespace NS (an inode) are still running,
# that is neither gone nor zombies.
running_in() {
  stat -L -c "%i %n" /proc/[0-9]*/ns/pid 2>/dev/null | while read -r ns path; do
    path=${path%/ns/pid}
    [ "$ns" = "$1" ] && read -r _ _ state _ <"$path/stat" && [ "$state" != Z ] && echo
  done | wc -l
}

# Waits up to half a second for no process of PID namespace NS to run any
# more; prints how many still run.
left_after_end() {
  local end=$((${EPOCHREALTIME/./} + 500000)) left
  while left=$(running_in "$1") && ((left > 0 && ${EPOCHREALTIME/./} < end)); do
    sleep 0.01
  done
  echo "$left"
}

# save_mounts, then mounts_now prints "unchanged" or "changed".
save_mounts() { saved_mounts=$(cat /proc/self/mountinfo); }
mounts_now() {
  if [ "$(cat /proc/self/mountinfo)" = "$saved_mounts" ]; then echo unchanged; else echo changed; fi
}

# How many mounts are stacked on the mount point $1, in this namespace.
mounts_on() { awk -v at="$1" '$5 == at' /proc/self/mountinfo | wc -l; }

export -f await launch running_in left_after_end save_mounts mounts_now mounts_on
