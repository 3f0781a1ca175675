"""The demo program: live figures of this machine in the application's
window, with buttons that act on them.

It shows what the bridge is for: messages both ways (channel.py), a
background thread that sends figures while the main thread waits for the
user, output on its standard output, and a computation on a
multiprocessing pool whose children start through the application's own
executable.
"""

import multiprocessing
import os
import platform
import queue
import signal
import sys
import threading

import norvale

import channel
import figures
import work

TITLE = "This machine, live"
PRIME_LIMIT = 200_000
POOL_SIZE = 2


def send_figures(link):
    for name, text in figures.all_figures():
        link.send("show", name, text)


def keep_figures_fresh(link, stop):
    while not stop.wait(1.0):
        send_figures(link)


class Pool:
    """A spawn pool, opened at its first use and kept for the next."""

    def __init__(self):
        self._pool = None

    def count_primes(self, limit):
        if self._pool is None:
            # Spawned children start through sys.executable, which is the
            # application's own executable: it runs them as plain
            # interpreters.
            self._pool = multiprocessing.get_context("spawn").Pool(POOL_SIZE)
        results = self._pool.map(work.count_primes, work.chunks(limit, 2 * POOL_SIZE))
        counted_by = sorted({pid for _, pid, _ in results})
        return sum(count for count, _, _ in results), counted_by, self.children()

    @staticmethod
    def children():
        """The pool's processes with their executables. Which of them count
        is up to the pool: a quick child may take every chunk."""
        return sorted(
            (child.pid, os.readlink(f"/proc/{child.pid}/exe"))
            for child in multiprocessing.active_children()
        )

    def close(self):
        if self._pool is not None:
            self._pool.close()
            self._pool.join()


def compute(link, pool):
    link.send("show", "Primes", "counting ...")
    count, counted_by, children = pool.count_primes(PRIME_LIMIT)
    pids = ", ".join(str(pid) for pid in counted_by)
    link.send("show", "Primes", f"{count} below {PRIME_LIMIT:,} (counted by processes {pids})")
    link.send("computed", PRIME_LIMIT, count, *(f"{pid}:{exe}" for pid, exe in children))
    print(f"demo: {count} primes below {PRIME_LIMIT}, on a pool of {len(children)} child processes")


def main():
    actions = queue.Queue()
    link = channel.Channel.from_environment(
        norvale,
        on_message=actions.put,
        on_restart=lambda ports: actions.put(["restarted", ports]),
    )
    print(f"demo: Python {platform.python_version()} from {sys.prefix}, pid {os.getpid()}")

    link.send("ready", TITLE)
    link.send("show", "Python", f"{platform.python_version()} from {sys.prefix}")
    # Who handles Ctrl-C: None when the host does, as it should.
    link.send("python", platform.python_version(), sys.prefix, os.__file__,
              repr(signal.getsignal(signal.SIGINT)))
    send_figures(link)
    for name, label in (("refresh", "Refresh now"), ("compute", "Count primes"), ("quit", "Quit")):
        link.send("button", name, label)

    stop = threading.Event()
    ticker = threading.Thread(target=keep_figures_fresh, args=(link, stop), name="figures")
    ticker.start()
    pool = Pool()
    try:
        while True:
            message = actions.get()
            kind, args = message[0], message[1:]
            if message == ["click", "quit"]:
                break
            if message == ["click", "refresh"]:
                send_figures(link)
                print("demo: refreshed")
            elif message == ["click", "compute"]:
                compute(link, pool)
            elif kind == "echo":
                link.send("echoed", *args)
                print("demo: echo", *args)
            elif kind == "restarted":
                ports = args[0]
                link.send("restarted", ports.get("protocol", 0), ports.get("exit", 0))
                print(f"demo: a new session, now on port {link.port}")
            else:
                print(f"demo: ignored {message!r}", file=sys.stderr)
    finally:
        stop.set()
        ticker.join()
        pool.close()
    link.send("show", "Status", "bye")
    print("demo: bye")


if __name__ == "__main__":
    main()
