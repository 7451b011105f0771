// What a container costs: kestrune against util-linux unshare doing the same
// work, and against the bare shell that any such tool starts. Each round runs
// every contender once, in a new random order, and ratios are taken round by
// round, so that a machine whose speed drifts favours none of them.
//
// Run as root. It first moves into a UTS and mount namespace of its own, so
// the tools it starts can neither rename this machine nor leave a mount behind.

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using Argv = std::vector<const char *>;
using Times = std::vector<double>;

Argv kestrune_line(const char *command) {
  // Another build to measure, named as for the tests; else the one built.
  const char *path = std::getenv("KESTRUNE_BINARY");
  return {path != nullptr ? path : KESTRUNE_BUILT, "bench", command, nullptr};
}
Argv unshare_line(const char *command) {
  return {"/usr/bin/unshare", "--fork",  "--pid", "--mount", "--uts",
          "--mount-proc",     "/bin/sh", "-c",    command,   nullptr};
}

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 +
         static_cast<double>(t.tv_nsec) / 1e6;
}

// Starts ARGV with its standard input and output on IN and OUT.
pid_t start(const Argv &argv, int in, int out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  pid_t pid = -1;
  // posix_spawn takes the vector as non-const only for historical reasons.
  auto *args = const_cast<char *const *>(argv.data());
  if (posix_spawn(&pid, argv[0], &actions, nullptr, args, environ) != 0) {
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void finish(pid_t pid, const char *name) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || status != 0) {
    std::fprintf(stderr, "%s did not end with status 0\n", name);
    std::exit(1);
  }
}

// A whole run, in ms.
double run(const Argv &argv) {
  static const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  const double begin = now_ms();
  finish(start(argv, null, null), argv[0]);
  return now_ms() - begin;
}

std::string proc(pid_t pid, const std::string &file) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  return {std::istreambuf_iterator<char>(in), {}};
}
long peak_kb(pid_t pid) {
  const std::string status = proc(pid, "status");
  return std::atol(status.c_str() + status.find("VmHWM:") + 6);
}

// Runs ARGV until its command writes 42END (an END that the greeting, which
// shows the command, cannot hold). Then, where KB is given, it adds up the
// peak resident size of the tool's own processes (the shell, process 1 under
// unshare, not counted) and closes the command's standard input. It returns
// the time from that line to the tool's end, in ms.
double until_end(const Argv &argv, long *kb) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(1);
  const pid_t pid = start(argv, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  std::string seen;
  char buffer[4096];
  while (seen.find("42END\n") == std::string::npos) {
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) std::exit(1);
    seen.append(buffer, static_cast<size_t>(n));
  }
  if (kb != nullptr) {
    const std::string children = "task/" + std::to_string(pid) + "/children";
    const pid_t child = std::atoi(proc(pid, children).c_str());
    const bool shell = proc(child, "status").rfind("Name:\tsh\n", 0) == 0;
    *kb = peak_kb(pid) + (shell ? 0 : peak_kb(child));
  }
  close(in[1]);
  const double end = now_ms();
  finish(pid, argv[0]);
  close(out[0]);
  return now_ms() - end;
}
double teardown(const Argv &argv) { return until_end(argv, nullptr); }

// The median, and the quartiles in brackets.
std::string spread(Times t) {
  std::sort(t.begin(), t.end());
  const auto at = [&](double q) {
    return t[static_cast<size_t>(q * static_cast<double>(t.size() - 1))];
  };
  char text[64];
  std::snprintf(text, sizeof text, "%.3f (%.3f-%.3f)", at(0.5), at(0.25),
                at(0.75));
  return text;
}

// Runs kestrune, unshare and, with SHELL, bare sh on COMMAND, each once a
// round in a shuffled order, WARM_UP rounds and then COUNT. Prints a row: the
// times of each, and the ratio kestrune / unshare of each round.
void compare(const std::string &label, const std::string &command, int count,
             int warm_up, double (*measure)(const Argv &), bool shell) {
  static std::mt19937 random(std::random_device{}());
  std::vector<Argv> lines = {kestrune_line(command.c_str()),
                             unshare_line(command.c_str())};
  if (shell) lines.push_back({"/bin/sh", "-c", command.c_str(), nullptr});
  std::vector<Times> t(lines.size());
  std::vector<size_t> order(lines.size());
  std::iota(order.begin(), order.end(), 0);
  for (int round = -warm_up; round < count; ++round) {
    std::shuffle(order.begin(), order.end(), random);
    for (const size_t c : order) {
      const double time = measure(lines[c]);
      if (round >= 0) t[c].push_back(time);
    }
  }
  Times ratios;
  for (size_t r = 0; r < t[0].size(); ++r) ratios.push_back(t[0][r] / t[1][r]);
  std::printf("%-12s %-26s %-26s %-*s%s\n", label.c_str(), spread(t[0]).c_str(),
              spread(t[1]).c_str(), shell ? 25 : 0, spread(ratios).c_str(),
              shell ? spread(t[2]).c_str() : "");
}

}  // namespace

int main() {
  if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::perror("kestrune-bench needs root for a namespace of its own");
    return 1;
  }
  const char *columns =
      "             kestrune ms                unshare ms                 "
      "kestrune / unshare";
  std::printf(
      "Medians, with the interquartile range in brackets. Each round "
      "runs every\ncontender once, in a shuffled order.\n\n"
      "Start-up, 1000 rounds after 50 (target: kestrune / unshare at "
      "most 0.70):\n%s       sh -c true ms\n",
      columns);
  compare("true", "true", 1000, 50, run, true);

  std::printf(
      "\nProcesses left running when the command ends: from its "
      "last line to the\ntool's end, 15 rounds:\n%s\n",
      columns);
  for (const std::string n : {"0", "100", "400"}) {
    // The last line comes once they all run.
    const std::string all =
        "[ $(cat /proc/[0-9]*/comm | grep -cx sleep) = " + n;
    compare(n + " left",
            "for i in $(seq " + n + "); do sleep 1000 >/dev/null & done; " +
                "until " + all + " ]; do :; done; echo $((6*7))END",
            15, 2, teardown, false);
  }

  long kestrune_kb = 0;
  long unshare_kb = 0;
  until_end(kestrune_line("echo $((6*7))END; read line; exit 0"), &kestrune_kb);
  until_end(unshare_line("echo $((6*7))END; read line; exit 0"), &unshare_kb);
  std::printf(
      "\nPeak resident size of the tool's own processes, the shell "
      "not counted:\n  kestrune (launcher and process 1)  %ld kB\n"
      "  unshare (its waiting parent)       %ld kB\n",
      kestrune_kb, unshare_kb);

  // Last: the extra mounts, taken off again at the end.
  std::printf(
      "\nStart-up with extra mounts to copy and tear down, 40 "
      "rounds:\n%s\n",
      columns);
  char dir[] = "/tmp/kestrune-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const auto folder = [&dir](int n) {
    return std::string(dir) + "/" + std::to_string(n);
  };
  int have = 0;
  for (const int mounts : {0, 500, 2000, 5000}) {
    for (; have < mounts; ++have) {
      const std::string at = folder(have);
      mkdir(at.c_str(), 0700);
      if (mount("bench", at.c_str(), "tmpfs", 0, "size=4k") != 0) return 1;
    }
    compare(std::to_string(mounts) + " mounts", "true", 40, 2, run, false);
  }
  // Each mount comes off before its folder goes: nothing is removed through
  // a mount, and no folders are left in /tmp.
  for (int at = 0; at < have; ++at) {
    if (umount(folder(at).c_str()) == 0) rmdir(folder(at).c_str());
  }
  rmdir(dir);
  return 0;
}
