"""Prints, tells the application it has, and waits until it is stopped."""

import os
import threading

import norvale

for number in range(1, 201):
    print(f"line {number} of 200")
norvale.send_bytes(int(os.environ["ZEMTRA_NORVALE_PORT"]), b"printed")
threading.Event().wait()
