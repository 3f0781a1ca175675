"""Fork and spawn pools alive while the program waits, the application
leading a process group of its own as a job of a shell does: Ctrl-C goes to
every process of the group."""

import multiprocessing
import os
import threading

import norvale

import mp_work

if __name__ == "__main__":
    os.setpgid(0, 0)
    pools = [multiprocessing.get_context(method).Pool(2) for method in ("fork", "spawn")]
    for pool in pools:
        pool.map(mp_work.square, range(8))
    norvale.send_bytes(int(os.environ["ZEMTRA_NORVALE_PORT"]), b"pools")
    threading.Event().wait()
