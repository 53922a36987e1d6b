#!/usr/bin/python3
"""Runs the dialogue of a terrapivoter program in a terminal of its own and types each answer
once its question has been asked, so that the transcript shows the answers where a person
would have typed them.

    answer-dialogue.py PROGRAM WORKDIR ANSWER...
"""

import os
import pty
import select
import sys


def main():
    program, workdir, answers = sys.argv[1], sys.argv[2], sys.argv[3:]
    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(workdir)
        os.execv(program, [program])
    pending = list(answers)
    while True:
        # A question is asked once the program has been quiet for a moment.
        ready, _, _ = select.select([terminal], [], [], 0.3)
        if ready:
            try:
                chunk = os.read(terminal, 4096)
            except OSError:
                break
            if not chunk:
                break
            sys.stdout.write(chunk.decode(errors="replace").replace("\r\n", "\n"))
            sys.stdout.flush()
        elif pending:
            os.write(terminal, (pending.pop(0) + "\n").encode())
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()
