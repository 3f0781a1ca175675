"""Children made by fork: the termination signals end them, and one that
ends through sys.exit leaves the application's desktop entry alone."""

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


def main():
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
