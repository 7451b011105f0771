#!/usr/bin/env python3
"""Runs a command at a pseudo-terminal, as a person at a terminal would.

    terminal.py [STEP...] -- COMMAND [ARG...]

Each STEP is "expect:TEXT", which waits (two minutes at most) until TEXT
has appeared after what the previous step matched ("\\n" in TEXT is a
line's end: wait for it before typing Ctrl-C, since the terminal drops the
output not yet read when that key comes), "until:SHELL-COMMAND", which
waits as long for that command to succeed, "send:TEXT", which types TEXT
(backslash escapes allowed: send:\\x03 is Ctrl-C), or "kill:NAME", which
sends signal NAME (TERM, say) to the command. After the steps it reads to
the end and prints what the terminal showed, then one line "[exit N]",
"[signal N]" or "[signal N, core dumped]"; the command runs with core
files allowed, so a core would show, and with every signal at its default
action, as at a login.
"""

import os
import pty
import resource
import select
import signal
import subprocess
import sys
import time

# Guards against a hang alone, with room for an emulated machine under load,
# which may take ten seconds to start perl: a step's wait, and the wait for
# the command's end after the last step.
STEP_WAIT = 120
END_WAIT = 300


def read_more(fd, deadline):
    """Returns what the terminal shows next, b"" at its end or time-out."""
    wait = deadline - time.monotonic()
    if wait <= 0 or not select.select([fd], [], [], wait)[0]:
        return b""
    try:
        return os.read(fd, 4096) or b""
    except OSError:  # EIO: every process has closed the terminal
        return b""


def main():
    split = sys.argv.index("--")
    steps, command = sys.argv[1:split], sys.argv[split + 1:]
    pid, fd = pty.fork()
    if pid == 0:
        resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY,) * 2)
        # As at a login: no signal ignored or blocked, whatever this was
        # started with.
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        for number in range(1, signal.SIGRTMIN):
            if number not in (signal.SIGKILL, signal.SIGSTOP, 32, 33):
                signal.signal(number, signal.SIG_DFL)
        os.execvp(command[0], command)
    shown, matched = b"", 0
    for step in steps:
        kind, text = step.split(":", 1)
        text = text.encode().decode("unicode_escape").encode("latin-1")
        if kind == "send":
            os.write(fd, text)
            continue
        if kind == "kill":
            os.kill(pid, signal.Signals["SIG" + text.decode()])
            continue
        if kind == "until":
            deadline = time.monotonic() + STEP_WAIT
            while subprocess.run(text, shell=True, check=False).returncode:
                if time.monotonic() > deadline:
                    sys.exit(f"terminal.py: gave up waiting for {text!r}")
                time.sleep(0.01)
            continue
        # Output at a terminal ends its lines with "\r\n".
        text = text.replace(b"\n", b"\r\n")
        deadline = time.monotonic() + STEP_WAIT
        while shown.find(text, matched) < 0:
            more = read_more(fd, deadline)
            if not more:
                sys.stdout.write(shown.decode(errors="replace"))
                sys.exit(f"terminal.py: gave up waiting for {text!r}")
            shown += more
        matched = shown.find(text, matched) + len(text)
    deadline = time.monotonic() + END_WAIT
    while more := read_more(fd, deadline):
        shown += more
    while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.killpg(pid, signal.SIGKILL)
            sys.stdout.write(shown.decode(errors="replace"))
            sys.exit("terminal.py: the command did not end")
        time.sleep(0.01)
    status = ended[1]
    sys.stdout.write(shown.decode(errors="replace").replace("\r\n", "\n"))
    if os.WIFSIGNALED(status):
        core = ", core dumped" if os.WCOREDUMP(status) else ""
        print(f"[signal {os.WTERMSIG(status)}{core}]")
    else:
        print(f"[exit {os.WEXITSTATUS(status)}]")


main()
