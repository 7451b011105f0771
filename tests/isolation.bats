#!/usr/bin/env bats
# What the tool leaves of the mounts outside the container.

load helpers

@test "on shared mounts the outer /proc stays its own, also when the child is killed" {
  run --separate-stderr contained --propagation shared bash -c '
    kestrune=$1 dir=$2
    proc_mounts() { grep -c "^[^ ]* [^ ]* [^ ]* / /proc " /proc/self/mountinfo; }
    # A tool that never starts the command must fail the test, not hang it.
    await() {
      for _ in $(seq 1000); do [ -e "$1" ] && return; sleep 0.01; done
      echo "gave up waiting for $1"; exit 1
    }
    before=$(cat /proc/self/mountinfo)

    # While the command runs, look at /proc from out here.
    "$kestrune" demo "touch $dir/started; while [ ! -e $dir/go ]; do sleep 0.01; done" &
    tool=$!
    await "$dir/started"
    echo "during: $(proc_mounts) mount, own process visible: $(test -d /proc/$$ && echo yes)"
    touch "$dir/go"
    wait "$tool"
    [ "$(cat /proc/self/mountinfo)" = "$before" ] && echo "after run: unchanged"

    # Killed before it can unmount, the child leaves nothing behind either.
    rm -f "$dir/started"
    "$kestrune" demo "touch $dir/started; sleep 30" &
    tool=$!
    await "$dir/started"
    kill -KILL "$(cat /proc/$tool/task/$tool/children)"
    wait "$tool"
    [ "$(cat /proc/self/mountinfo)" = "$before" ] && echo "after kill: unchanged"
    ' bash "$KESTRUNE" "$BATS_TEST_TMPDIR"
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = "during: 1 mount, own process visible: yes" ]
  [ "${lines[3]}" = "after run: unchanged" ]
  [ "${lines[6]}" = "after kill: unchanged" ]
}

@test "where mounts cannot be made private, proc is neither mounted nor taken down" {
  # A chroot whose root is not a mount point: its mounts cannot be made
  # private. Its /proc is the outer one, bound in and shared.
  local root="$BATS_TEST_TMPDIR/root"
  mkdir -p "$root/usr" "$root/proc"
  for d in bin lib lib64 sbin; do ln -s "usr/$d" "$root/$d"; done
  cp "$KESTRUNE" "$root/kestrune"
  run --separate-stderr contained --propagation shared bash -c '
    root=$1
    mount --rbind /usr "$root/usr"
    mount --rbind /proc "$root/proc"
    chroot "$root" /kestrune demo "test -d /proc/$$ && echo outer proc seen"
    mountpoint -q "$root/proc" && test -d "$root/proc/$$" && echo outer proc still there
    ' bash "$root"
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = "outer proc seen" ]
  [ "${lines[3]}" = "outer proc still there" ]
}
