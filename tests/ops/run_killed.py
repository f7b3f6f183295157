#!/usr/bin/env python3
# Runs a program on a terminal of its own, answers its questions, and kills
# it with SIGKILL after a given time, as an administrator's machine losing
# power or a scheduler's kill would.
#
#   run_killed.py DELAY_MS ANSWER PROGRAM [ARGS...]
#
# The program's questions are answered with ANSWER (a line typed on its
# terminal, once per question it prints). DELAY_MS 0 never kills. Prints
# "killed" when the program was killed, "hung" when it was still running
# after 120 s, else "exit N"; the program's output goes to stderr.
import os
import pty
import select
import signal
import sys
import time


def main():
    delay_ms = int(sys.argv[1])
    answer = sys.argv[2]
    argv = sys.argv[3:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(argv[0], argv)
    start = time.monotonic()
    answered = 0
    seen = b""
    killed = False
    # A run that hangs (waiting for an answer nobody gives) is ended too.
    limit = start + 120.0
    hung = False
    while True:
        deadline = limit
        if delay_ms > 0 and not killed:
            deadline = min(limit, start + delay_ms / 1000.0)
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            if not killed:
                os.kill(pid, signal.SIGKILL)
                killed = True
                hung = time.monotonic() >= limit
            continue
        try:
            data = os.read(fd, 65536)
        except OSError:
            data = b""
        if not data:
            break
        sys.stderr.buffer.write(data)
        seen += data
        # One answer per question: a question ends with "]: " on the terminal.
        if answer and seen.count(b"]: ") > answered:
            answered = seen.count(b"]: ")
            os.write(fd, answer.encode() + b"\n")
    _, status = os.waitpid(pid, 0)
    if hung:
        print("hung")
    elif os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL:
        print("killed")
    else:
        print("exit %d" % (os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1))


if __name__ == "__main__":
    main()
