# Shared by the suites. KESTRUNE is the path of the built tool, set by CTest.

bats_require_minimum_version 1.5.0

: "${KESTRUNE:?KESTRUNE must name the built kestrune binary}"

# Every run of the tool happens inside namespaces of the test's own, so that
# even a broken build can neither rename this machine nor leave a mount behind.
# Extra unshare options may come first.
contained() {
  if [ -z "${KESTRUNE_SANITIZER_REPORTS:-}" ]; then
    unshare --uts --mount "$@"
    return
  fi
  # A sanitizer report from inside the container reaches only its standard
  # error, so under the sanitizers a copy of it is kept for the final check.
  local status=0
  unshare --uts --mount "$@" 2> >(tee -a "$KESTRUNE_SANITIZER_REPORTS/stderr" >&2) ||
    status=$?
  wait $!
  return "$status"
}

start_line() { printf 'Starting the container: %s' "$1"; }
greeting() { printf 'Container initialized. Running command: %s' "$1"; }
