# Shared by the suites. KESTRUNE is the path of the built tool, set by CTest.

bats_require_minimum_version 1.5.0

: "${KESTRUNE:?KESTRUNE must name the built kestrune binary}"

# Every run of the tool happens inside namespaces of the test's own, so that
# even a broken build can neither rename this machine nor leave a mount behind.
contained() {
  unshare --uts --mount "$@"
}

start_line() { printf 'Starting the container: %s' "$1"; }
greeting() { printf 'Container initialized. Running command: %s' "$1"; }
