#!/usr/bin/env bats
# What the tool leaves of the mounts outside the container.

load helpers

@test "on shared mounts the outer /proc stays its own, also when the child is killed" {
  run --separate-stderr contained --propagation shared bash -c '
    kestrune=$1 dir=$2
    proc_mounts() { grep -c "^[^ ]* [^ ]* [^ ]* / /proc " /proc/self/mountinfo; }
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

@test "in a chroot whose root is not a mount point: own proc on a bound /proc, none on a directory" {
  # The root of such a chroot cannot be made private. With the outer /proc
  # bound in (and shared), the container still gets its own proc over it;
  # with /proc a plain directory nothing is mounted, so nothing can leak out.
  local root="$BATS_TEST_TMPDIR/root"
  mkdir -p "$root/usr" "$root/proc"
  for d in bin lib lib64 sbin; do ln -s "usr/$d" "$root/$d"; done
  cp "$KESTRUNE" "$root/kestrune"
  run --separate-stderr contained --propagation shared bash -c '
    root=$1
    proc_mounts() { grep -c "^[^ ]* [^ ]* [^ ]* [^ ]* $root/proc " /proc/self/mountinfo; }
    mount --rbind /usr "$root/usr"
    for proc in bound directory; do
      if [ $proc = bound ]; then mount --rbind /proc "$root/proc"; fi
      rm -f "$root/started" "$root/go"
      # Without a /proc the sanitizers of the sanitize build can neither
      # read their options nor stop the process for the leak check: their
      # lines from that one run are left out (the bound run keeps them).
      chroot "$root" /kestrune demo "cat /proc/1/comm 2>&1 || echo no process 1; touch /started; while [ ! -e /go ]; do sleep 0.01; done" \
        2> >(if [ $proc = bound ]; then cat; else grep -v "^==[0-9]*=="; fi >&2) &
      tool=$!
      await "$root/started"
      echo "$proc, during: $(proc_mounts) mount(s) on the outer $root/proc"
      touch "$root/go"
      wait "$tool"
      echo "$proc, after: $(proc_mounts), own process visible: $(test -d $root/proc/$$ && echo yes)"
      if [ $proc = bound ]; then umount -R "$root/proc"; fi
    done' bash "$root"
  [ "$status" -eq 0 ]
  [ "${lines[1]}" = "$(greeting 'cat /proc/1/comm 2>&1 || echo no process 1; touch /started; while [ ! -e /go ]; do sleep 0.01; done')" ]
  [ "${lines[2]}" = kestrune ]
  [ "${lines[3]}" = "bound, during: 1 mount(s) on the outer $root/proc" ]
  [ "${lines[4]}" = "bound, after: 1, own process visible: yes" ]
  [ "${lines[7]}" = "cat: /proc/1/comm: No such file or directory" ]
  [ "${lines[8]}" = "no process 1" ]
  [ "${lines[9]}" = "directory, during: 0 mount(s) on the outer $root/proc" ]
  [ "${lines[10]}" = "directory, after: 0, own process visible: " ]
}
