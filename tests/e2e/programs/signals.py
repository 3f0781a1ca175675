# Signals reach the program's thread: blocking calls are interrupted,
# handlers run at once, sigwait takes a blocked signal, and a handler found
# with getsignal can be put back.
import os
import queue
import signal
import subprocess
import sys
import time


class Alarm(Exception):
    pass


def alarm(signum, frame):
    raise Alarm()


signal.signal(signal.SIGALRM, alarm)
for name, blocking_call in (("sleep", lambda: time.sleep(30)),
                            ("read", lambda: os.read(os.pipe()[0], 1)),
                            ("pause", signal.pause)):
    signal.alarm(1)
    try:
        blocking_call()
    except Alarm:
        print(name, "interrupted")

got = []
signal.signal(signal.SIGUSR1, lambda signum, frame: got.append(signum))
os.kill(os.getpid(), signal.SIGUSR1)
print("handled before kill returned", got)

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR2})
os.kill(os.getpid(), signal.SIGUSR2)
print("sigwait", signal.sigwait({signal.SIGUSR2}))
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR2})

def described(handler):
    return "a function" if callable(handler) else handler


for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1):
    print(signum.name, described(signal.getsignal(signum)))
old = signal.signal(signal.SIGTERM, lambda signum, frame: None)
print("put back", described(signal.signal(signal.SIGTERM, old)),
      described(signal.getsignal(signal.SIGTERM)))


def terminate(signum, frame):
    print("terminated by", signal.Signals(signum).name)
    sys.exit(7)


signal.signal(signal.SIGTERM, terminate)
# Another process sends it while the program waits on a queue.
subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -TERM {os.getpid()}"])
queue.Queue().get()
