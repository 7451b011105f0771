// Start-up benchmark: kestrune against its own glibc build, against
// util-linux unshare doing the same work, and against the bare shell that
// any such tool has to start; and how start-up grows with the number of
// mounts that every new mount namespace copies.
//
// Must run as root. It first moves itself into a UTS and mount namespace of
// its own, so the tools it starts can neither rename this machine nor leave
// a mount behind.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Argv = std::vector<const char *>;
using Line = Argv (*)(const char *command);

constexpr int live_containers = 200;

// The tool under test; KESTRUNE in the environment picks another build.
const char *kestrune_path() {
  const char *path = std::getenv("KESTRUNE");
  return path != nullptr ? path : KESTRUNE_PATH;
}

Argv kestrune_line(const char *command) {
  return {kestrune_path(), "bench", command, nullptr};
}

// The same source linked statically against glibc instead of musl.
Argv kestrune_glibc_line(const char *command) {
  return {KESTRUNE_GLIBC_PATH, "bench", command, nullptr};
}

Argv unshare_line(const char *command) {
  return {"/usr/bin/unshare", "--fork", "--pid", "--mount", "--uts",
          "--mount-proc",     "sh",     "-c",    command,   nullptr};
}

Argv sh_line(const char *command) {
  return {"/bin/sh", "-c", command, nullptr};
}

// Starts one process directly, its standard output on /dev/null.
pid_t spawn(const Argv &argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  pid_t pid = -1;
  // posix_spawn takes the vector as non-const only for historical reasons.
  const int error =
      posix_spawn(&pid, argv[0], &actions, nullptr,
                  const_cast<char *const *>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// One run from start to exit, true if it ended with status 0.
bool run_once(const Argv &argv) {
  const pid_t pid = spawn(argv);
  int status = 0;
  return pid != -1 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Extra tmpfs mounts under a scratch directory of the benchmark's own mount
// namespace, which every container's new mount namespace copies, and tears
// down again when it ends.
struct ExtraMounts {
  std::string root;
  bool root_mounted = false;
  int count = 0;
};

ExtraMounts &extra_mounts() {
  static ExtraMounts mounts;
  return mounts;
}

bool set_extra_mounts(int wanted) {
  ExtraMounts &mounts = extra_mounts();
  if (wanted < mounts.count || (wanted == 0 && mounts.root_mounted)) {
    // One detach takes the whole tree down; it is built up again below.
    if (umount2(mounts.root.c_str(), MNT_DETACH) != 0) {
      return false;
    }
    mounts.root_mounted = false;
    mounts.count = 0;
  }
  if (wanted > 0 && !mounts.root_mounted) {
    if (mount("kestrune-bench", mounts.root.c_str(), "tmpfs", 0, nullptr) !=
        0) {
      return false;
    }
    mounts.root_mounted = true;
  }
  for (; mounts.count < wanted; ++mounts.count) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/%d", mounts.root.c_str(),
                  mounts.count);
    if (mkdir(path, 0700) != 0 ||
        mount("kestrune-bench", path, "tmpfs", 0, "size=4k") != 0) {
      return false;
    }
  }
  return true;
}

// Starts of one tool with EXTRA extra mounts in place. One runner sets the
// mounts up; the others wait for it at the loop's start.
void starts(benchmark::State &state, Line line, int extra) {
  const Argv argv = line("true");
  if (state.thread_index() == 0 && !set_extra_mounts(extra)) {
    state.SkipWithError("cannot set up the extra mounts");
    return;
  }
  for (auto _ : state) {
    if (!run_once(argv)) {
      state.SkipWithError("the command failed: is this run as root?");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void start(benchmark::State &state, Line line) { starts(state, line, 0); }

void mounts(benchmark::State &state, Line line) {
  starts(state, line, static_cast<int>(state.range(0)));
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", pid, pid);
  if (FILE *file = std::fopen(path, "re")) {
    int child = 0;
    while (std::fscanf(file, "%d", &child) == 1) {
      children.push_back(child);
    }
    std::fclose(file);
  }
  return children;
}

// The first `key:` figure (in kB) of a /proc file, 0 if it is not there.
long proc_kb(const char *path, const char *key) {
  long value = 0;
  if (FILE *file = std::fopen(path, "re")) {
    char line[256];
    const size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr) {
      if (std::strncmp(line, key, length) == 0 && line[length] == ':') {
        value = std::strtol(line + length + 1, nullptr, 10);
        break;
      }
    }
    std::fclose(file);
  }
  return value;
}

long pid_kb(pid_t pid, const char *file, const char *key) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/%s", pid, file);
  return proc_kb(path, key);
}

std::string comm_of(pid_t pid) {
  char path[64];
  char comm[32] = "";
  std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
  if (FILE *file = std::fopen(path, "re")) {
    (void)std::fscanf(file, "%31s", comm);
    std::fclose(file);
  }
  return comm;
}

// Every process of a run, launcher first, once its `sleep` is running;
// empty if it is not there yet.
std::vector<pid_t> ready_tree(pid_t launcher) {
  std::vector<pid_t> tree{launcher};
  bool sleeping = false;
  for (size_t i = 0; i < tree.size(); ++i) {
    sleeping = sleeping || comm_of(tree[i]) == "sleep";
    for (const pid_t child : children_of(tree[i])) {
      tree.push_back(child);
    }
  }
  return sleeping ? tree : std::vector<pid_t>{};
}

// What the kernel holds for processes: their stacks, page tables and the
// unreclaimable slab where tasks, namespaces and mounts live.
long kernel_kb() {
  return proc_kb("/proc/meminfo", "KernelStack") +
         proc_kb("/proc/meminfo", "PageTables") +
         proc_kb("/proc/meminfo", "SUnreclaim");
}

// Memory of many containers alive at once, each running `sleep`, per
// container: resident and proportional set size summed over its processes,
// and the kernel's memory that they hold.
void live(benchmark::State &state, Line line) {
  const Argv argv = line("sleep 60");
  if (!set_extra_mounts(0)) {
    state.SkipWithError("cannot take the extra mounts down");
    return;
  }
  for (auto _ : state) {
    const long kernel_before = kernel_kb();
    std::vector<pid_t> launchers;
    for (int i = 0; i < live_containers; ++i) {
      launchers.push_back(spawn(argv));
    }
    std::vector<std::vector<pid_t>> trees(launchers.size());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (size_t i = 0; i < launchers.size(); ++i) {
      while (launchers[i] != -1 && trees[i].empty() &&
             std::chrono::steady_clock::now() < deadline) {
        trees[i] = ready_tree(launchers[i]);
        if (trees[i].empty()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    }
    const long kernel_after = kernel_kb();

    long rss_kb = 0;
    long pss_kb = 0;
    long tool_peak_kb = 0;
    bool complete = true;
    for (const std::vector<pid_t> &tree : trees) {
      complete = complete && !tree.empty();
      for (const pid_t pid : tree) {
        rss_kb += pid_kb(pid, "smaps_rollup", "Rss");
        pss_kb += pid_kb(pid, "smaps_rollup", "Pss");
        // The tool's own processes are done with their start-up work by
        // now, so their high-water mark is the peak of a whole run.
        const std::string comm = comm_of(pid);
        if (comm != "sh" && comm != "sleep") {
          tool_peak_kb = std::max(tool_peak_kb, pid_kb(pid, "status", "VmHWM"));
        }
      }
    }

    // The launchers go first, so that none of them reacts to its
    // container's end; killing a container's first process then ends
    // everything in its PID namespace.
    std::vector<pid_t> firsts;
    for (const pid_t launcher : launchers) {
      for (const pid_t child : children_of(launcher)) {
        firsts.push_back(child);
      }
      kill(launcher, SIGKILL);
    }
    for (const pid_t first : firsts) {
      kill(first, SIGKILL);
    }
    for (const pid_t launcher : launchers) {
      if (launcher != -1) {
        waitpid(launcher, nullptr, 0);
      }
    }
    if (!complete) {
      state.SkipWithError("not every container came up");
      break;
    }
    const double count = live_containers;
    state.counters["rss_kB"] = static_cast<double>(rss_kb) / count;
    state.counters["pss_kB"] = static_cast<double>(pss_kb) / count;
    state.counters["kernel_kB"] =
        static_cast<double>(kernel_after - kernel_before) / count;
    state.counters["tool_peak_kB"] = static_cast<double>(tool_peak_kb);
  }
}

// Runs of the same tool and runner count, to set each figure beside its
// peer's at the end.
BENCHMARK_CAPTURE(start, sh, sh_line)->Threads(1)->UseRealTime();
BENCHMARK_CAPTURE(start, kestrune_glibc, kestrune_glibc_line)
    ->Threads(1)
    ->UseRealTime();
BENCHMARK_CAPTURE(start, kestrune, kestrune_line)
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK_CAPTURE(start, unshare, unshare_line)
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK_CAPTURE(mounts, kestrune, kestrune_line)
    ->Arg(500)
    ->Arg(2000)
    ->Arg(5000)
    ->UseRealTime();
BENCHMARK_CAPTURE(mounts, unshare, unshare_line)
    ->Arg(500)
    ->Arg(2000)
    ->Arg(5000)
    ->UseRealTime();
BENCHMARK_CAPTURE(live, kestrune, kestrune_line)
    ->Iterations(1)
    ->Repetitions(1)
    ->UseRealTime();
BENCHMARK_CAPTURE(live, unshare, unshare_line)
    ->Iterations(1)
    ->Repetitions(1)
    ->UseRealTime();

// The console table, then the figures that matter side by side: medians
// over the repetitions, which the interleaving spread over the whole run.
// A figure whose benchmark was filtered out shows as nan.
class Summary : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that a saved run reads as plain text.
  explicit Summary(int base_mounts)
      : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular),
        base_mounts_(base_mounts) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      const bool single = run.run_type == Run::RT_Iteration &&
                          run.repetitions <= 1 && !run.error_occurred;
      if (single || run.aggregate_name == "median") {
        results_[run.run_name.str()] = run;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const double sh = ms("start/sh/real_time/threads:1");
    const double kestrune = ms("start/kestrune/real_time/threads:1");
    const double unshare = ms("start/unshare/real_time/threads:1");
    const double glibc = ms("start/kestrune_glibc/real_time/threads:1");
    std::printf("\nMedian wall time per container, one runner:\n");
    std::printf(
        "  kestrune %.3f ms, kestrune on glibc %.3f ms, unshare %.3f ms, "
        "sh -c true %.3f ms\n",
        kestrune, glibc, unshare, sh);
    std::printf("  kestrune/unshare %.3f (target <= 0.70)\n",
                kestrune / unshare);
    std::printf("  kestrune on glibc/unshare %.3f\n", glibc / unshare);
    std::printf("  over sh -c true: kestrune +%.3f ms, on glibc +%.3f ms\n",
                kestrune - sh, glibc - sh);
    std::printf("With extra mounts (%d before them), median ms:\n",
                base_mounts_);
    std::printf("  %6s %9s %9s %7s\n", "mounts", "kestrune", "unshare",
                "ratio");
    const auto row = [](int extra, double k, double u) {
      std::printf("  %6d %9.3f %9.3f %7.3f\n", extra, k, u, k / u);
    };
    // With none extra, the plain one-runner starts above are the figures.
    row(0, kestrune, unshare);
    for (const int extra : {500, 2000, 5000}) {
      char kestrune_name[64];
      char unshare_name[64];
      std::snprintf(kestrune_name, sizeof kestrune_name,
                    "mounts/kestrune/%d/real_time", extra);
      std::snprintf(unshare_name, sizeof unshare_name,
                    "mounts/unshare/%d/real_time", extra);
      row(extra, ms(kestrune_name), ms(unshare_name));
    }
    std::printf("Containers per second (median):\n");
    for (const char *threads : {"1", "2", "8"}) {
      const std::string suffix = std::string("/real_time/threads:") + threads;
      std::printf("  %s runner(s): kestrune %.0f, unshare %.0f\n", threads,
                  counter("start/kestrune" + suffix, "items_per_second"),
                  counter("start/unshare" + suffix, "items_per_second"));
    }
    std::printf("Peak resident size of the tool's own processes, kB:\n");
    std::printf("  kestrune %.0f, unshare %.0f\n",
                counter(live_name("kestrune"), "tool_peak_kB"),
                counter(live_name("unshare"), "tool_peak_kB"));
    std::printf("Per live container (%d running sleep at once), kB:\n",
                live_containers);
    for (const char *tool : {"kestrune", "unshare"}) {
      const std::string name = live_name(tool);
      std::printf("  %-8s RSS %.0f, PSS %.0f, kernel %.0f\n", tool,
                  counter(name, "rss_kB"), counter(name, "pss_kB"),
                  counter(name, "kernel_kB"));
    }
  }

 private:
  static std::string live_name(const char *tool) {
    return std::string("live/") + tool + "/iterations:1/repeats:1/real_time";
  }

  double ms(const std::string &name) const {
    const auto found = results_.find(name);
    return found == results_.end()
               ? NAN
               : found->second.real_accumulated_time * 1e3 /
                     static_cast<double>(found->second.iterations);
  }

  double counter(const std::string &name, const std::string &key) const {
    const auto found = results_.find(name);
    if (found == results_.end()) {
      return NAN;
    }
    const auto value = found->second.counters.find(key);
    return value == found->second.counters.end() ? NAN : value->second.value;
  }

  int base_mounts_;
  std::map<std::string, Run> results_;
};

}  // namespace

int main(int argc, char **argv) {
  if (unshare(CLONE_NEWUTS | CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::perror("kestrune-bench: cannot make namespaces of its own (root?)");
    return 1;
  }
  char scratch[] = "/tmp/kestrune-bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr) {
    std::perror("kestrune-bench: cannot make a scratch directory");
    return 1;
  }
  extra_mounts().root = scratch;
  int base_mounts = 0;
  if (FILE *file = std::fopen("/proc/self/mountinfo", "re")) {
    for (int c = 0; (c = std::fgetc(file)) != EOF;) {
      base_mounts += c == '\n' ? 1 : 0;
    }
    std::fclose(file);
  }
  // Defaults that the command line can still override: repetitions spread
  // in random order over the run, reported by their median.
  std::vector<char *> args{argv[0]};
  std::string defaults[] = {"--benchmark_enable_random_interleaving=true",
                            "--benchmark_repetitions=10",
                            "--benchmark_min_time=0.2",
                            "--benchmark_report_aggregates_only=true"};
  for (std::string &flag : defaults) {
    args.push_back(flag.data());
  }
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 1;
  }
  Summary summary(base_mounts);
  benchmark::RunSpecifiedBenchmarks(&summary);
  benchmark::Shutdown();
  set_extra_mounts(0);
  rmdir(scratch);
  return 0;
}
