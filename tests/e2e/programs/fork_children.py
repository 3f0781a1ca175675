"""Children made by fork: the termination signals end them, also before the
child's fork handlers ran, and one that ends through sys.exit leaves the
application's desktop entry alone."""

import ctypes
import multiprocessing
import os
import signal
import sys
import time

APPLICATION_ID = "com.zemtra.norvale"


def wait_for_ever(started):
    started.set()
    while True:
        time.sleep(60)


def desktop_files():
    """What the running application has installed, as names."""
    runtime = os.path.join(os.environ["XDG_RUNTIME_DIR"], "zemtra", APPLICATION_ID)
    entry = os.path.join(os.environ["XDG_DATA_HOME"], "applications", APPLICATION_ID + ".desktop")
    names = sorted(os.listdir(runtime)) if os.path.isdir(runtime) else []
    names = ["marker" if name == str(os.getpid()) else name for name in names]
    return names + (["entry"] if os.path.exists(entry) else [])


# fork(2) itself, which runs none of the C library's fork handlers: the child
# is where any child is until its handlers have run.
RAW_FORK = {"x86_64": (57,), "aarch64": (220, signal.SIGCHLD, 0, 0, 0, 0)}


def raw_fork_child_signalled(signum):
    """How a child ends that gets `signum` from itself before its fork
    handlers ran; 0 if it went on regardless."""
    libc = ctypes.PyDLL(None)  # the thread keeps the interpreter while it forks
    pid = libc.syscall(*RAW_FORK[os.uname().machine])
    if pid == 0:
        libc.kill(libc.getpid(), signum)
        libc._exit(0)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def main():
    # First as the application set the signals up, then once the program has
    # blocked and unblocked them (as multiprocessing's resource tracker does).
    for when in ("at first", "after a mask"):
        if when == "after a mask":
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGHUP})
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM, signal.SIGHUP})
        codes = [raw_fork_child_signalled(signum) for signum in (signal.SIGTERM, signal.SIGHUP)]
        print("raw fork", when, *codes)

    context = multiprocessing.get_context("fork")
    started = context.Event()
    child = context.Process(target=wait_for_ever, args=(started,))
    child.start()
    started.wait()
    child.terminate()
    child.join(30)
    print("terminate", child.exitcode)

    for name in ("SIGTERM", "SIGHUP", "SIGINT"):
        started.clear()
        child = context.Process(target=wait_for_ever, args=(started,))
        child.start()
        started.wait()
        os.kill(child.pid, getattr(signal, name))
        child.join(30)
        print(name, child.exitcode)

    print("before fork", desktop_files())
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        sys.exit(7)
    _, status = os.waitpid(pid, 0)
    print("os.fork child", os.waitstatus_to_exitcode(status))
    print("after fork", desktop_files())


if __name__ == "__main__":
    main()
