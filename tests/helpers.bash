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
  # Inside the container (a clone child) UndefinedBehaviorSanitizer writes its
  # reports to standard error even when told to log to files, and the tool
  # never reads the container's status: keep a copy for the final check.
  local status=0
  unshare --uts --mount "$@" 2> >(tee -a "$KESTRUNE_SANITIZER_REPORTS/stderr" >&2) ||
    status=$?
  wait $!
  return "$status"
}

start_line() { printf 'Starting the container: %s' "$1"; }
greeting() { printf 'Container initialized. Running command: %s' "$1"; }

# For the scripts that the tests run with bash -c: waits up to ten seconds
# for a file, so that a tool that never starts the command fails the test
# instead of hanging it.
await() {
  for _ in $(seq 1000); do [ -e "$1" ] && return; sleep 0.01; done
  echo "gave up waiting for $1"
  exit 1
}
export -f await
