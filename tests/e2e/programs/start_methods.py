"""Multiprocessing as a tutorial uses it, with every start method: nothing
names the executable, and the pools run functions of this script too."""

import multiprocessing
import os
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import shared_memory

import mp_work


def cube(x):
    return x * x * x


def greet(name):
    print(f"hello from a {name} child")


def main():
    print("executable", sys.executable)
    print("main file", __file__)
    for method in ("fork", "spawn", "forkserver"):
        context = multiprocessing.get_context(method)
        with context.Pool(2) as pool:
            print(method, "module function", pool.map(mp_work.square, range(5)))
            print(method, "script function", pool.map(cube, range(5)))
        child = context.Process(target=greet, args=(method,))
        child.start()
        child.join()
        print(method, "process exit code", child.exitcode)
    with ProcessPoolExecutor(2) as executor:
        print("executor", list(executor.map(cube, range(4))))
    with multiprocessing.Manager() as manager:
        shared = manager.dict(answer=42)
        print("manager", dict(shared))
    block = shared_memory.SharedMemory(create=True, size=4)
    try:
        block.buf[:4] = b"norv"
        with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as executor:
            print("shared memory", executor.submit(read_block, block.name).result())
    finally:
        block.close()
        block.unlink()
    # sys.executable runs Python command lines, as python3 does.
    answer = subprocess.run([sys.executable, "-c", "print(6 * 7)"], capture_output=True, text=True)
    print("subprocess", answer.stdout.strip(), answer.returncode)
    print("done")


def read_block(name):
    block = shared_memory.SharedMemory(name=name)
    try:
        return bytes(block.buf[:4]).decode()
    finally:
        block.close()


if __name__ == "__main__":
    main()
