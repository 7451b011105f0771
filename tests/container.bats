#!/usr/bin/env bats
# What the command sees inside the container.

load helpers

@test "host name is kestrune inside and stays the outer one outside" {
  run --separate-stderr contained sh -c '
    hostname outer-name
    "$1" demo hostname
    hostname' sh "$KESTRUNE"
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = kestrune ]
  [ "${lines[3]}" = outer-name ]
}

@test "only the container's processes are visible, the tool's child as 1" {
  # The trailing true keeps the shell from replacing itself with ps.
  run --separate-stderr contained "$KESTRUNE" demo 'ps -e -o pid=,comm= | tr -s " "; true'
  [ "$status" -eq 0 ]
  [ "${lines[2]}" = " 1 kestrune" ]
  [ "${lines[3]}" = " 2 sh" ]
  [ "${lines[4]}" = " 3 ps" ]
  # The tr in the pipeline may or may not have started before ps read /proc.
  [ "${#lines[@]}" -le 6 ]
  [ "${lines[5]:-" 4 tr"}" = " 4 tr" ]
}

@test "a background job ends with the container, before the tool returns" {
  # A duration no other process on the machine is likely to sleep for.
  local marker='sleep 31.41'
  run --separate-stderr contained sh -c '
    "$1" demo "$2 >/dev/null 2>&1 & ps -e -o args= | grep -cx \"$2\""
    ps -e -o args= | grep -cx "$2"' sh "$KESTRUNE" "$marker"
  [ "${lines[2]}" = 1 ]
  [ "${lines[3]}" = 0 ]
}
