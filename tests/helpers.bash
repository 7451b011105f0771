# Shared by the suites. KESTRUNE_BINARY is the path of the tool under test, set by
# CTest: the one built, or the one the user named by KESTRUNE_BINARY.

bats_require_minimum_version 1.5.0

: "${KESTRUNE_BINARY:?KESTRUNE_BINARY must name the built kestrune binary}"
export KESTRUNE_BINARY

# Every run of the tool happens inside namespaces of the test's own, so that
# even a broken build can neither rename this machine nor leave a mount behind:
# its mounts are private, cut off from the machine's even where those are
# shared, and end with it. Extra unshare options may come first.
contained() {
  local outer=(unshare --uts --mount --propagation private "$@")
  if [ -z "${KESTRUNE_SANITIZER_REPORTS:-}" ]; then
    "${outer[@]}"
    return
  fi
  # Inside the container (a clone child) UndefinedBehaviorSanitizer writes its
  # reports to standard error even when told to log to files, and the tool
  # never reads the container's status: keep a copy for the final check.
  # A pipeline, not a process substitution, whose end bash does not always
  # wait for: the test would read standard error before the copy wrote it.
  { "${outer[@]}" 2>&1 1>&3 3>&- | tee -a "$KESTRUNE_SANITIZER_REPORTS/stderr" >&2; } 3>&1
  return "${PIPESTATUS[0]}"
}

# Put after contained's options: the command runs on shared mounts, as on a
# machine under systemd, but shared only within the test's namespace, so
# that no mount made there reaches the machine's own peer group. (bash, not
# sh: dash would drop the functions exported below.)
shared_inside=(bash -c 'mount --make-rshared / && exec "$@"' bash)

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
# Sets pids_cgroup, a cgroup of the test's own beside the test's cgroup, in
# the hierarchy of the pids controller (cgroup v2's or v1's), whose pids.max
# limits only the processes moved into it; teardown removes it.
needs_pids_cgroup() {
  local type at options own
  while read -r type at options; do
    if [ "$type" = cgroup2 ] && grep -qw pids "$at/cgroup.controllers" 2>/dev/null; then
      own=$(sed -n 's/^0:://p' /proc/self/cgroup)
    elif [ "$type" = cgroup ] && [[ ,$options, == *,pids,* ]]; then
      own=$(sed -n 's/^[0-9]*:pids://p' /proc/self/cgroup)
    else
      continue
    fi
    pids_cgroup=$(mktemp -d "$at${own%/*}/kestrune-test.XXXXXX" 2>/dev/null) || continue
    [ -e "$pids_cgroup/pids.max" ] && return
    rmdir "$pids_cgroup"
  done < <(awk '{ for (i = 7; $i != "-"; i++); print $(i + 1), $5, $(i + 3) }' /proc/self/mountinfo)
  pids_cgroup=
  skip "no cgroup with a pids controller can be made here: none is mounted, it is read-only, or not enabled beside the test's cgroup"
}
needs_strace() {
  strace -o /dev/null true 2>/dev/null ||
    skip "strace cannot trace here: ptrace is forbidden (kernel.yama.ptrace_scope is 3, or a seccomp policy)"
}

# After each test: its cgroup goes, and nothing it mounted may be left where
# bats is about to remove its folders, since rm -rf would go down through the
# mount into whatever is mounted there. Such a mount is detached first, and
# fails the test.
teardown() {
  if [ -n "${pids_cgroup:-}" ]; then
    # Its last processes may still be ending.
    for _ in $(seq 1000); do rmdir "$pids_cgroup" 2>/dev/null && break; sleep 0.01; done
    [ ! -e "$pids_cgroup" ] || { echo "cgroup left: $pids_cgroup"; return 1; }
  fi
  local left
  left=$(awk -v dir="$(realpath "$BATS_RUN_TMPDIR")/" 'index($5, dir) == 1 { print $5 }' /proc/self/mountinfo)
  [ -z "$left" ] && return
  printf '%s\n' "$left" | xargs -n 1 umount -l 2>/dev/null
  echo "mounted by the test and left in its folder, now detached: $left"
  return 1
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
  "$KESTRUNE_BINARY" demo "touch $1/started; $2" &
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

export -f start_line greeting await launch running_in left_after_end save_mounts mounts_now mounts_on
