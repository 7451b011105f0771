// kestrune: run one shell command in a minimal container, a child process
// with its own PID, mount and UTS namespaces and a fresh /proc.
//
// Only the C library's own headers are used, so that the same source builds
// against glibc or musl and needs nothing of the C++ runtime.

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// Hands the command to the shell. Returns 1 if the shell could not be
// started, else 0: the command's own status is deliberately not passed on.
int run_command(const char *command) {
  errno = 0;
  const int status = system(command);
  // musl reports a shell it could not start as -1, glibc as a shell that
  // exited with 127; both set errno then. A shell that really ran and
  // exited with 127 (command not found) leaves errno at 0.
  if (status == -1 ||
      (errno != 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127)) {
    perror("Failed to start the shell");
    return 1;
  }
  return 0;
}

// Entry of the child, process 1 of the new PID namespace. Ends with 0 once
// the command has run, 1 if the shell could not be started.
int container_setup(void *arg) {
  // When the launcher ends, however it ended (even by SIGKILL), the kernel
  // kills this process, and with process 1 goes every process of the
  // container: nothing runs on with no one waiting for it. Hence the first
  // step; only a launcher that ends before it is not covered.
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);

  const char *command = static_cast<const char *>(arg);
  (void)printf("Container initialized. Running command: %s\n", command);

  // The length counts the terminating NUL as well.
  (void)sethostname("kestrune", 9);

  // Private mounts keep the proc mount out of the host's namespace when its
  // mounts are shared. In a chroot whose root is not a mount point "/"
  // cannot be made private, but /proc still can if it is a mount point. If
  // neither can, proc is not mounted at all, and then it must not be
  // unmounted either: that would take down the /proc copied from the host.
  const bool isolated =
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ||
      mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  const bool mounted =
      isolated && mount("proc", "/proc", "proc", 0, nullptr) == 0;

  // The shell writes straight to the shared descriptors, so the greeting
  // has to be out before the command's output.
  (void)fflush(stdout);
  const int status = run_command(command);

  if (mounted) {
    (void)umount("/proc");
  }
  // Returning from a clone entry ends the process without flushing stdio.
  (void)fflush(stdout);
  return status;
}

int main(int argc, char *argv[]) {
  if (argc <= 2) {
    // Started with an empty argument vector (which the kernel turns into a
    // single empty string) there is no program name to show.
    const bool named = argc > 0 && argv[0][0] != '\0';
    (void)fprintf(stderr, "Usage: %s <container_name> <command>\n",
                  named ? argv[0] : "kestrune");
    return 1;
  }

  (void)printf("Starting the container: %s\n", argv[1]);
  // The child gets a copy of this buffer: flush it now, or on a pipe the
  // start line would come twice, or after the command's output.
  (void)fflush(stdout);

  // A caller that ignores SIGCHLD passes that on: the kernel would then
  // reap the container (and the shell inside it) unasked, and neither wait
  // could tell how they ended. This is no handler: the default is restored.
  (void)signal(SIGCHLD, SIG_DFL);

  // 4 KiB is not enough: a dynamically linked build resolves its first
  // symbols on this stack, and musl starts the shell with over 5 KiB of it.
  constexpr size_t stack_size = 64UL * 1024;
  char *stack = static_cast<char *>(malloc(stack_size));
  if (stack == nullptr) {
    perror("Failed to allocate memory for child stack");
    exit(1);
  }
  char *stack_top = stack + stack_size;

  const pid_t pid =
      clone(container_setup, stack_top,
            CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWUTS | SIGCHLD, argv[2]);
  if (pid == -1) {
    perror("clone failed");
    free(stack_top - stack_size);
    return 1;
  }

  int status = 0;
  pid_t waited = -1;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited == -1 && errno == EINTR);
  free(stack_top - stack_size);

  // The container's own status (0 after a run, 1 if its shell could not be
  // started), or 128+N when signal N killed it, as shells report it. A
  // child whose end could not be learnt is not reported as a success.
  if (waited != pid) {
    return 1;
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return WEXITSTATUS(status);
}
