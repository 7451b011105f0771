// kestrune: run one shell command in a minimal container, a child process
// with its own PID, mount and UTS namespaces and a fresh /proc.
//
// Only the C library's own headers are used, so that the same source builds
// against glibc or musl and needs nothing of the C++ runtime.

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

// What the launcher hands to the container's process 1.
struct container {
  char *command;
  // The signal mask kestrune was started with, for the command.
  sigset_t caller_mask;
  // SIGCHLD and the signals passed on, blocked and taken by sigwaitinfo.
  sigset_t waited;
  // A pipe whose write end only the launcher keeps: its read end sees the
  // end of the file once the launcher has died.
  int launcher_alive[2];
};

// Starts the shell and waits for it, reaping every other child that ends
// meanwhile (orphans of the command are re-parented to process 1) and
// passing on what the launcher sends. Returns 0 once the shell has ended
// on its own, 128+N if it died of signal N, 1 if it could not be started.
int run_command(const container &setup) {
  posix_spawnattr_t attributes;
  (void)posix_spawnattr_init(&attributes);
  // The command gets the caller's mask; the dispositions are the caller's
  // already, since no handler is installed anywhere.
  (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  (void)posix_spawnattr_setsigmask(&attributes, &setup.caller_mask);
  char sh[] = "sh";
  char dash_c[] = "-c";
  char end_of_options[] = "--";  // a command may begin with "-"
  char *argv[] = {sh, dash_c, end_of_options, setup.command, nullptr};
  pid_t shell = -1;
  const int error =
      posix_spawn(&shell, "/bin/sh", nullptr, &attributes, argv, environ);
  (void)posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    errno = error;
    perror("Failed to start the shell");
    return 1;
  }

  for (;;) {
    siginfo_t info{};
    const int signo = sigwaitinfo(&setup.waited, &info);
    if (signo == SIGCHLD) {
      int status = 0;
      pid_t ended = 0;
      while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
        if (ended == shell) {
          return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 0;
        }
      }
    } else if (signo > 0 && info.si_code != SI_KERNEL && info.si_pid == 0) {
      // Sent from outside the namespace (the launcher passing it on), not
      // by the terminal, which reached every process itself. To all but
      // process 1; what is sent from inside is dropped, as the kernel does
      // for a process 1 with no handler.
      (void)kill(-1, signo);
    }
  }
}

// True where /proc holds a proc file system, the one copied from outside.
bool outer_proc() {
  constexpr long proc_super_magic = 0x9fa0;
  struct statfs proc {};
  return statfs("/proc", &proc) == 0 && proc.f_type == proc_super_magic;
}

// Entry of the child, process 1 of the new PID namespace. Ends with 0 once
// the command has run, 128+N if its shell died of signal N, and 1 if it
// could not run.
int container_setup(void *arg) {
  const container &setup = *static_cast<const container *>(arg);
  // When the launcher ends, however it ended (even by SIGKILL), the kernel
  // kills this process, and with process 1 goes every process of the
  // container: nothing runs on with no one waiting for it. A launcher that
  // ended before this request shows as the pipe's last writer gone.
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  (void)close(setup.launcher_alive[1]);
  char byte = 0;
  if (read(setup.launcher_alive[0], &byte, 1) == 0) {
    return 1;
  }

  (void)printf("Container initialized. Running command: %s\n", setup.command);
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
  // A command on the outer proc would see, and could signal, processes
  // that are not the container's. A plain directory shows none at all.
  const int mount_error = errno;
  // The shell and perror write straight to the shared descriptors, so the
  // greeting has to be out first.
  (void)fflush(stdout);
  int status = 1;
  if (!mounted && outer_proc()) {
    errno = mount_error;
    perror("Failed to mount proc");
  } else {
    status = run_command(setup);
  }

  if (mounted) {
    (void)umount("/proc");
  }
  // Returning from a clone entry ends the process without flushing stdio.
  (void)fflush(stdout);
  return status;
}

// Ends the launcher by the signal that ended the command, as a shell
// running the command itself would have ended, but without a core file.
void die_of(int signo) {
  (void)prctl(PR_SET_DUMPABLE, 0);
  (void)signal(signo, SIG_DFL);
  sigset_t only{};
  (void)sigemptyset(&only);
  (void)sigaddset(&only, signo);
  (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)raise(signo);
}

// The signals that stop or interrupt a run are the command's to act on.
// Blocked here and in process 1, they are taken by sigwaitinfo: neither
// dies of them, and what a process (not the terminal) sends is passed on.
// A signal the caller ignores stays ignored, and is not passed on.
void block_signals(container *setup) {
  (void)sigemptyset(&setup->waited);
  (void)sigaddset(&setup->waited, SIGCHLD);
  const int passed_on[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};
  for (const int passed : passed_on) {
    struct sigaction action {};
    if (sigaction(passed, nullptr, &action) == 0 &&
        action.sa_handler != SIG_IGN) {
      (void)sigaddset(&setup->waited, passed);
    }
  }
  (void)sigprocmask(SIG_BLOCK, &setup->waited, &setup->caller_mask);
}

// Waits for the container, passing on what a process sends; what the
// terminal sends has reached the whole foreground group already. Returns
// the wait status, or -1 if the container's end cannot be learnt. The
// signals received are added to RECEIVED.
int wait_for(pid_t pid, const sigset_t &waited, sigset_t *received) {
  (void)sigemptyset(received);
  for (;;) {
    siginfo_t info{};
    const int signo = sigwaitinfo(&waited, &info);
    if (signo == SIGCHLD) {
      int status = 0;
      const pid_t ended = waitpid(pid, &status, WNOHANG);
      if (ended == pid) {
        return status;
      }
      if (ended == -1) {
        return -1;
      }
    } else if (signo > 0) {
      (void)sigaddset(received, signo);
      if (info.si_code != SI_KERNEL) {
        (void)kill(pid, signo);
      }
    }
  }
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
  // could tell how they ended.
  (void)signal(SIGCHLD, SIG_DFL);

  container setup{};
  setup.command = argv[2];
  block_signals(&setup);

  if (pipe2(setup.launcher_alive, O_CLOEXEC | O_NONBLOCK) == -1) {
    perror("clone failed");
    return 1;
  }

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
            CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWUTS | SIGCHLD, &setup);
  if (pid == -1) {
    perror("clone failed");
    free(stack_top - stack_size);
    return 1;
  }

  sigset_t received{};
  const int status = wait_for(pid, setup.waited, &received);
  free(stack_top - stack_size);

  // A child whose end cannot be learnt is not reported as a success; 128+N
  // when signal N killed process 1, as shells report it.
  if (status == -1) {
    return 1;
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  // Process 1 says 128+N when the shell died of signal N. If that is a
  // signal this launcher received, it ends the same way; otherwise the
  // command's end is not the tool's.
  const int code = WEXITSTATUS(status);
  if (code > 128) {
    if (sigismember(&received, code - 128) == 1) {
      die_of(code - 128);
      return code;
    }
    return 0;
  }
  return code;
}
