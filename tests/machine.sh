#!/bin/sh
# Run by CTest around the whole suite: "save FILE" before the first test,
# "check FILE" after the last. What the tests may never change on the
# machine they run on: the mounts of its own mount namespace (process 1's),
# its host name and its kernel.pid_max. Each mount is taken by its id, where
# it is, what it is and how it propagates, so that a mount left behind, one
# taken away and one made shared or private all show.
state() {
  mounts=$(awk '{ for (i = 7; $i != "-"; i++); propagation = ""
    for (j = 7; j < i; j++) propagation = propagation " " $j
    print "mount " $5 " (" $(i + 1) " " $(i + 2) ", id " $1 propagation ")" }' /proc/1/mountinfo) ||
    return
  printf '%s\n' "$mounts" | sort
  echo "host name: $(hostname)"
  echo "kernel.pid_max: $(cat /proc/sys/kernel/pid_max)"
}
case $1 in
  save) state >"$2" ;;
  check)
    now=$(state) || exit
    changes=$(printf '%s\n' "$now" | diff "$2" - |
      sed -n 's/^> mount /  left: /p; s/^< mount /  gone: /p; s/^< /  before: /p; s/^> /  after: /p')
    [ -z "$changes" ] && exit 0
    echo "The tests changed this machine:"
    printf '%s\n' "$changes"
    exit 1
    ;;
  *) exit 2 ;;
esac
