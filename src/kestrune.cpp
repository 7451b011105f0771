// kestrune: run one shell command in a minimal container, a child process
// with its own PID, mount and UTS namespaces and a fresh /proc.
//
// Only the C library's own headers are used, so that the same source builds
// against glibc or musl and needs nothing of the C++ runtime.

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

// Starts "sh -c -- COMMAND" with the caller's signal mask; the dispositions
// are the caller's already, since no handler is installed anywhere. Returns
// 0, or the error number.
int start_shell(const container &setup, pid_t *shell) {
  posix_spawnattr_t attributes;
  int error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    return error;
  }
  error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  if (error == 0) {
    error = posix_spawnattr_setsigmask(&attributes, &setup.caller_mask);
  }
  if (error == 0) {
    char sh[] = "sh";
    char dash_c[] = "-c";
    char end_of_options[] = "--";  // a command may begin with "-"
    char *argv[] = {sh, dash_c, end_of_options, setup.command, nullptr};
    error = posix_spawn(shell, "/bin/sh", nullptr, &attributes, argv, environ);
  }
  (void)posix_spawnattr_destroy(&attributes);
  return error;
}

// Starts the shell and waits for it, reaping every other child that ends
// meanwhile (orphans of the command are re-parented to process 1) and
// passing on what the launcher sends. Returns 0 once the shell has ended
// on its own, 128+N if it died of signal N, 1 if it could not be started
// or waited for.
int run_command(const container &setup) {
  pid_t shell = -1;
  const int error = start_shell(setup, &shell);
  if (error != 0) {
    errno = error;
    perror("Failed to start the shell");
    return 1;
  }

  for (;;) {
    siginfo_t info{};
    const int signo = sigwaitinfo(&setup.waited, &info);
    if (signo == -1 && errno != EINTR) {
      break;
    }
    if (signo == SIGCHLD) {
      int status = 0;
      pid_t ended = 0;
      while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
        if (ended == shell) {
          return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 0;
        }
      }
      if (ended == -1 && errno != EINTR) {
        break;
      }
    } else if (signo > 0 && info.si_code != SI_KERNEL && info.si_pid == 0) {
      // Sent from outside the namespace (the launcher passing it on), not
      // by the terminal, which reached every process itself. To all but
      // process 1; what is sent from inside is dropped, as the kernel does
      // for a process 1 with no handler.
      (void)kill(-1, signo);
    }
  }
  // Returning ends process 1, and with it every process of the container.
  perror("Failed to wait for the command");
  return 1;
}

// True where /proc shows no processes at all: there is no /proc, or it
// holds no proc file system (a plain directory in a chroot). Only there may
// the command run without a fresh proc: on the one copied from outside it
// would see, and could signal, processes that are not the container's.
bool no_outer_proc() {
  constexpr long proc_super_magic = 0x9fa0;
  struct statfs proc = {};
  if (statfs("/proc", &proc) == -1) {
    return errno == ENOENT;
  }
  return proc.f_type != proc_super_magic;
}

// Ties this process's life to the launcher's: when the launcher ends,
// however it ended (even by SIGKILL), the kernel kills this process, and
// with process 1 goes every process of the container, so nothing runs on
// with no one waiting for it. A launcher that ended before the request
// shows as the pipe's last writer gone. False if the tie cannot be made.
bool tie_to_launcher(const container &setup) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 ||
      close(setup.launcher_alive[1]) == -1) {
    perror("Failed to tie the container to its launcher");
    return false;
  }
  char byte = 0;
  const ssize_t got = read(setup.launcher_alive[0], &byte, 1);
  if (got == -1 && errno == EAGAIN) {
    return true;  // the launcher still holds the write end
  }
  // At the end of the file the launcher is gone, and no one is left to tell.
  if (got != 0) {
    perror("Failed to tie the container to its launcher");
  }
  return false;
}

// Entry of the child, process 1 of the new PID namespace. Ends with 0 once
// the command has run, 128+N if its shell died of signal N, and 1 if it
// could not run.
// clone takes the entry as int (*)(void *): the argument cannot be const.
// cppcheck-suppress constParameterCallback
int container_setup(void *arg) {
  const container &setup = *static_cast<const container *>(arg);
  if (!tie_to_launcher(setup)) {
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
  const int mount_error = errno;
  // The shell and perror write straight to the shared descriptors, so the
  // greeting has to be out first.
  (void)fflush(stdout);
  int status = 1;
  if (!mounted && !no_outer_proc()) {
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
// Returns only if it cannot.
void die_of(int signo) {
  // Either keeps kestrune's own core away: a process that is not dumpable,
  // or a core limit of one byte, below any core file and taken by the kernel
  // as "none" for a core_pattern pipe as well. With neither, no signal.
  constexpr rlimit one_byte{1, 1};
  const bool undumpable = prctl(PR_SET_DUMPABLE, 0) == 0;
  const bool no_core = setrlimit(RLIMIT_CORE, &one_byte) == 0;
  sigset_t only{};
  (void)sigemptyset(&only);
  (void)sigaddset(&only, signo);
  if ((undumpable || no_core) && signal(signo, SIG_DFL) != SIG_ERR &&
      sigprocmask(SIG_UNBLOCK, &only, nullptr) == 0) {
    (void)raise(signo);
  }
}

// The signals that stop or interrupt a run are the command's to act on.
// Blocked here and in process 1, they are taken by sigwaitinfo: neither
// dies of them, and what a process (not the terminal) sends is passed on.
// A signal the caller ignores stays ignored, and is not passed on. False if
// the signals cannot be set up so.
bool block_signals(container *setup) {
  // A caller that ignores SIGCHLD passes that on: the kernel would then
  // reap the container (and the shell inside it) unasked, and neither wait
  // could tell how they ended.
  if (signal(SIGCHLD, SIG_DFL) == SIG_ERR) {
    return false;
  }
  (void)sigemptyset(&setup->waited);
  (void)sigaddset(&setup->waited, SIGCHLD);
  const int passed_on[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};
  for (const int passed : passed_on) {
    struct sigaction action = {};
    if (sigaction(passed, nullptr, &action) == -1) {
      return false;
    }
    if (action.sa_handler != SIG_IGN) {
      (void)sigaddset(&setup->waited, passed);
    }
  }
  return sigprocmask(SIG_BLOCK, &setup->waited, &setup->caller_mask) == 0;
}

// Waits for the container, passing on what a process sends; what the
// terminal sends has reached the whole foreground group already. Returns
// the wait status; the signals received are added to RECEIVED. If the
// container's end cannot be learnt, ends the container and returns -1.
int wait_for(pid_t pid, const sigset_t &waited, sigset_t *received) {
  (void)sigemptyset(received);
  for (;;) {
    siginfo_t info{};
    const int signo = sigwaitinfo(&waited, &info);
    if (signo == -1 && errno != EINTR) {
      break;
    }
    if (signo == SIGCHLD) {
      // Only this child: the caller may have left children of its own.
      int status = 0;
      const pid_t ended = waitpid(pid, &status, WNOHANG);
      if (ended == pid) {
        return status;
      }
      if (ended == -1 && errno != EINTR) {
        break;
      }
    } else if (signo > 0) {
      (void)sigaddset(received, signo);
      if (info.si_code != SI_KERNEL) {
        (void)kill(pid, signo);
      }
    }
  }
  perror("Failed to wait for the container");
  // Killed, process 1 takes every process of the container with it; once
  // it has ended, nothing of the run is left.
  (void)kill(pid, SIGKILL);
  (void)waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

int main(int argc, char *argv[]) {
  // Set-user-ID, set-group-ID or with file capabilities, kestrune would run
  // any command as root for whoever started it: the kernel says whether
  // this start gained privileges, and then nothing is done.
  if (getauxval(AT_SECURE) != 0) {
    (void)fputs(
        "Refusing to run set-user-ID, set-group-ID or with file "
        "capabilities: any user could run any command as root\n",
        stderr);
    return 1;
  }
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

  container setup{};
  setup.command = argv[2];
  if (!block_signals(&setup)) {
    perror("Failed to set up signals");
    return 1;
  }
  // Close-on-exec: the command starts with the caller's descriptors alone.
  if (pipe2(setup.launcher_alive, O_CLOEXEC | O_NONBLOCK) == -1) {
    perror("Failed to open a pipe");
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

  if (status == -1) {
    return 1;  // the container is ended, and the failure line written
  }
  // 128+N when signal N killed process 1, as shells report it.
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
