#!/bin/sh
# Run by CTest around the whole suite: "save FILE" before the first test,
# "check FILE SOURCE-DIR BUILD-DIR" after the last, and "report FILE" after
# CTest's summary. What the tests may never change on the machine they run
# on: the mounts of its own mount namespace (process 1's), its host name and
# its kernel.pid_max.
#
# The machine goes on meanwhile: a login, a service or a USB stick mounts
# and unmounts things at any moment. So a mount fails the suite only where
# a test could have left it: in the tests' own folders or named as theirs
# ("kestrune-test..."), any proc mount, a second view (a bind) of a file
# system mounted before, a mount whose propagation changed, a proc mount
# gone. Any other mount made or removed
# meanwhile is named as the system's, and "report" shows those.
case $1 in
  save)
    cp /proc/1/mountinfo "$2.mounts" || exit
    {
      echo "host name: $(hostname)"
      echo "kernel.pid_max: $(cat /proc/sys/kernel/pid_max)"
    } >"$2"
    rm -f "$2.meanwhile"
    ;;
  check)
    changes=$(awk -v tmp="${TMPDIR:-/tmp}" -v source="$3" -v build="$4" '
      # Sets type and what: where the mount is, what it is, how it propagates.
      function parse(i, j) {
        for (i = 7; $i != "-"; i++) continue
        type = $(i + 1)
        name = $(i + 2)
        what = $5 " (" type " " $(i + 2) ", id " $1
        for (j = 7; j < i; j++) what = what " " $j
        what = what ")"
      }
      function under(point, dir) { return dir != "" && index(point "/", dir "/") == 1 }
      # In the folders of the tests, or a file system they name as theirs.
      function tests(point, name) {
        return under(point, source) || under(point, build) ||
          index(point, tmp "/bats-run-") == 1 || index(name, "kestrune-test") == 1
      }
      FNR == NR { parse(); was[$1] = what; proc[$1] = type == "proc"; seen[$3] = 1; next }
      {
        parse()
        now[$1] = 1
        if ($1 in was) {
          if (was[$1] != what) print "changed: " was[$1] " is now " what
        } else if (tests($5, name)) {
          print "left by the tests: " what
        } else if (type == "proc") {
          print "left: " what
        } else if ($3 in seen) {
          print "left, a bind of a file system mounted before: " what
        } else {
          print "meanwhile, the system'"'"'s: mounted " what
        }
      }
      END {
        for (id in was) {
          if (id in now) continue
          if (proc[id]) print "gone: " was[id]
          else print "meanwhile, the system'"'"'s: unmounted " was[id]
        }
      }' "$2.mounts" /proc/1/mountinfo) || exit
    values=$({
      echo "host name: $(hostname)"
      echo "kernel.pid_max: $(cat /proc/sys/kernel/pid_max)"
    } | diff "$2" - | sed -n 's/^< /before: /p; s/^> /after: /p')
    printf '%s\n' "$changes" | grep '^meanwhile' >"$2.meanwhile"
    failures=$(printf '%s\n%s\n' "$changes" "$values" | grep -v '^meanwhile' | grep .)
    [ -z "$failures" ] && exit 0
    echo "The tests changed this machine:"
    printf '%s\n' "$failures" | sed 's/^/  /'
    exit 1
    ;;
  report)
    [ -s "$2.meanwhile" ] || exit 0
    echo "Mounts that the system made or removed while the tests ran (not the tests'):"
    sed 's/^meanwhile, the system.s: /  /' "$2.meanwhile"
    ;;
  *) exit 2 ;;
esac
