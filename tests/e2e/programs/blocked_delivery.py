# A handler waits for the main thread's answer, and the main thread fails:
# the program still ends.
import os
import queue
import threading

import norvale

port = int(os.environ["ZEMTRA_NORVALE_PORT"])
entered = threading.Event()
answers = queue.Queue()


def handler(data):
    entered.set()
    answers.get()  # never answered


norvale.set_enqueue_handler_func(port, handler)
norvale.send_bytes(port, b"ready\tblocked")
entered.wait()
raise RuntimeError("the main thread gives up")
