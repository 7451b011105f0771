// kestrune: run one shell command in a minimal container, a child process
// with its own PID, mount and UTS namespaces and a fresh /proc.

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

// Hands the command to the shell. Its status is deliberately not passed on:
// the tool only reports whether the container could be started.
int run_command(const char *command) {
  (void)std::system(command);
  return 0;
}

// Entry of the child, process 1 of the new PID namespace. Reports no failure
// and always ends with 0.
int container_setup(void *arg) {
  const char *command = static_cast<const char *>(arg);
  (void)std::printf("Container initialized. Running command: %s\n", command);

  // The length counts the terminating NUL as well.
  (void)sethostname("kestrune", 9);

  // Making every mount private first keeps the proc mount out of the host's
  // namespace when its mounts are shared. If that cannot be done, proc is
  // not mounted at all, and then it must not be unmounted either: that would
  // take down the /proc copied from the host.
  const bool mounted =
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount("proc", "/proc", "proc", 0, nullptr) == 0;

  // The shell writes straight to the shared descriptors, so the greeting
  // has to be out before the command's output.
  (void)std::fflush(stdout);
  run_command(command);

  if (mounted) {
    (void)umount("/proc");
  }
  // Returning from a clone entry ends the process without flushing stdio.
  (void)std::fflush(stdout);
  return 0;
}

int main(int argc, char *argv[]) {
  if (argc <= 2) {
    // Started with an empty argument vector (which the kernel turns into a
    // single empty string) there is no program name to show.
    const bool named = argc > 0 && argv[0][0] != '\0';
    (void)std::fprintf(stderr, "Usage: %s <container_name> <command>\n",
                       named ? argv[0] : "kestrune");
    return 1;
  }

  (void)std::printf("Starting the container: %s\n", argv[1]);
  // The child gets a copy of this buffer: flush it now, or on a pipe the
  // start line would come twice, or after the command's output.
  (void)std::fflush(stdout);

  // 4 KiB is not enough: the dynamic linker's first look-ups alone save
  // vector registers on this stack. 64 KiB leaves room for wider ones.
  constexpr size_t stack_size = 64UL * 1024;
  char *stack = static_cast<char *>(std::malloc(stack_size));
  if (stack == nullptr) {
    std::perror("Failed to allocate memory for child stack");
    std::exit(1);
  }
  char *stack_top = stack + stack_size;

  const pid_t pid =
      clone(container_setup, stack_top,
            CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWUTS | SIGCHLD, argv[2]);
  if (pid == -1) {
    std::perror("clone failed");
    std::free(stack_top - stack_size);
    return 1;
  }

  (void)waitpid(pid, nullptr, 0);
  std::free(stack_top - stack_size);
  return 0;
}
