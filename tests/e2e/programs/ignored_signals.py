# Signals that the program was started with ignored (nohup, a shell's
# background job) stay ignored.
import os
import signal

for signum in (signal.SIGINT, signal.SIGHUP):
    print(signum.name, signal.getsignal(signum))
    os.kill(os.getpid(), signum)
print("still running")
