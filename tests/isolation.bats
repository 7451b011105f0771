#!/usr/bin/env bats
# The mounts: nothing made inside reaches out, nothing made outside reaches in.

load helpers

@test "on shared mounts nothing crosses either way, also when the child is killed, and proc ends with the run" {
  mkdir "$BATS_TEST_TMPDIR/inner" "$BATS_TEST_TMPDIR/outer"
  run --separate-stderr contained "${shared_inside[@]}" bash -c '
    dir=$1
    save_mounts
    procs=$(mounts_on /proc)
    # While the command runs, mount on both sides and look at the other.
    launch "$dir" "mount -t tmpfs inner $dir/inner
      touch $dir/mounted; until [ -e $dir/go ]; do sleep 0.01; done
      mountpoint -q $dir/outer && echo outer mount seen inside || echo outer mount not seen inside"
    await "$dir/mounted"
    # Entered from outside while the command runs, the mount namespace of
    # the container outlives the run: its proc must not, or /proc there
    # would show a PID namespace that has ended, with no process at all.
    nsenter --target "$child" --mount sh -c "until [ -e $dir/ended ]; do sleep 0.01; done
      test -d /proc/\$\$ && echo yes" >"$dir/kept" &
    kept=$!
    until [ "$(readlink "/proc/$kept/ns/mnt")" = "$(readlink "/proc/$child/ns/mnt")" ]; do
      kill -0 "$kept" || break
      sleep 0.01
    done
    mount -t tmpfs outer "$dir/outer"
    echo "during: $(($(mounts_on /proc) - procs)) more on /proc, $(mounts_on "$dir/inner") on inner, own process visible: $(test -d /proc/$$ && echo yes)"
    touch "$dir/go"
    wait "$tool"
    status=$?
    umount "$dir/outer"
    touch "$dir/ended"
    wait "$kept"
    echo "namespace kept after run: own process visible: $(<"$dir/kept")"
    echo "after run: status $status, mounts $(mounts_now)"

    # Killed before it can unmount, the child leaves nothing behind either.
    rm "$dir/mounted"
    launch "$dir" "mount -t tmpfs inner $dir/inner; touch $dir/mounted; sleep 30"
    await "$dir/mounted"
    kill -KILL "$child"
    wait "$tool"
    echo "after kill: status $?, mounts $(mounts_now)"' bash "$BATS_TEST_TMPDIR"
  [ "$status" -eq 0 ]
  local summary
  summary="$(printf '%s\n' "${lines[@]}" | grep -v '^Starting\|^Container\|^ ')"
  echo "$summary"
  [ "$summary" = "during: 0 more on /proc, 0 on inner, own process visible: yes
outer mount not seen inside
namespace kept after run: own process visible: yes
after run: status 0, mounts unchanged
after kill: status 137, mounts unchanged" ]
}

@test "in a chroot whose root is not a mount point: own proc on a bound /proc, none on a directory or none at all" {
  # The root of such a chroot cannot be made private. With the outer /proc
  # bound in (and shared), the container still gets its own proc over it;
  # with /proc a plain directory, or none at all (a minimal image), nothing
  # is mounted, so nothing can leak out, and the command runs.
  local root="$BATS_TEST_TMPDIR/root"
  mkdir -p "$root/usr" "$root/proc"
  for d in bin lib lib64 sbin; do ln -s "usr/$d" "$root/$d"; done
  cp "$KESTRUNE_BINARY" "$root/kestrune"
  run --separate-stderr contained "${shared_inside[@]}" bash -c '
    root=$1
    mount --rbind /usr "$root/usr"
    for proc in bound directory none; do
      if [ $proc = bound ]; then mount --rbind /proc "$root/proc"; fi
      if [ $proc = none ]; then rmdir "$root/proc"; fi
      before=$(mounts_on "$root/proc")
      rm -f "$root/started" "$root/go"
      # Without a /proc the sanitizers of the sanitize build can neither
      # read their options nor stop the process for its leak check, which
      # then ends the launcher with 1 whatever the tool did: their lines
      # from that run are kept apart and the status is read with them.
      chroot "$root" /kestrune demo "cat /proc/1/comm 2>&1 || echo no process 1; touch /started; while [ ! -e /go ]; do sleep 0.01; done" \
        2> >(if [ $proc = bound ]; then cat >&2; else cat >"$root/sanitizers"; fi) &
      tool=$!
      await "$root/started"
      echo "$proc, during: $(($(mounts_on "$root/proc") - before)) more on the outer $root/proc"
      touch "$root/go"
      wait "$tool"
      status=$?
      if [ $status = 1 ] && grep -q "LeakSanitizer has encountered a fatal error" "$root/sanitizers" 2>/dev/null; then
        status="0 for all the tool knows"
      fi
      echo "$proc, after: status $status, $(($(mounts_on "$root/proc") - before)) more, own process visible: $(test -d $root/proc/$$ && echo yes)"
      if [ $proc = bound ]; then umount -R "$root/proc"; fi
    done
    umount -R "$root/usr"' bash "$root"
  [ "$status" -eq 0 ]
  [ "${lines[1]}" = "$(greeting 'cat /proc/1/comm 2>&1 || echo no process 1; touch /started; while [ ! -e /go ]; do sleep 0.01; done')" ]
  [ "${lines[2]}" = kestrune ]
  [ "${lines[3]}" = "bound, during: 0 more on the outer $root/proc" ]
  [ "${lines[4]}" = "bound, after: status 0, 0 more, own process visible: yes" ]
  [ "${lines[7]}" = "cat: /proc/1/comm: No such file or directory" ]
  [ "${lines[8]}" = "no process 1" ]
  [ "${lines[9]}" = "directory, during: 0 more on the outer $root/proc" ]
  [[ "${lines[10]}" =~ ^"directory, after: status 0"( for all the tool knows)?", 0 more, own process visible: "$ ]]
  [ "${lines[13]}" = "cat: /proc/1/comm: No such file or directory" ]
  [ "${lines[15]}" = "none, during: 0 more on the outer $root/proc" ]
  [[ "${lines[16]}" =~ ^"none, after: status 0"( for all the tool knows)?", 0 more, own process visible: "$ ]]
}

@test "no fresh proc possible over the outer one: the failure line, status 1, nothing run" {
  # A user namespace may not mount a proc file system while every proc it
  # sees has part of it hidden under another mount, as container engines
  # leave it. Any other proc (a chroot's, say) is first taken out of the
  # test's namespace; the kernel must then refuse the mount.
  local masked='mount -t tmpfs kestrune-test /proc/sys
    awk '\''{ for (i = 7; $i != "-"; i++); if ($(i + 1) == "proc" && $5 != "/proc") print $5 }'\'' \
      /proc/self/mountinfo | xargs -r -n 1 umount -l'
  needs_user_namespaces
  ! contained --pid --fork --mount-proc bash -c "$masked
    unshare --user --map-root-user --mount --pid --fork mount -t proc proc /proc" 2>/dev/null ||
    skip "this kernel lets a user namespace mount proc over a masked one"
  run --separate-stderr contained --pid --fork --mount-proc bash -c "$masked"'
    unshare --user --map-root-user --mount "$1" demo "echo the command ran"' bash "$KESTRUNE_BINARY"
  [ "$status" -eq 1 ]
  [ "${lines[*]}" = "$(start_line demo) $(greeting 'echo the command ran')" ]
  [ "$stderr" = "Failed to mount proc: Operation not permitted" ]
}
