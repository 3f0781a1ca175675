"""After the program blocked and unblocked SIGTERM on its thread (as
multiprocessing's resource tracker does), SIGTERM ends the application on
whichever thread it arrives, without waiting for the program's thread: here
that thread has it blocked again behind the application's back."""

import ctypes
import os
import signal
import threading

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
mask = (ctypes.c_ulong * 16)()
mask[0] = 1 << (signal.SIGTERM - 1)
ctypes.CDLL(None).pthread_sigmask(signal.SIG_BLOCK, mask, None)
threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGTERM)).start()
threading.Event().wait()
