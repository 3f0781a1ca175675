"""The computation that runs on the pool: in child processes started
through the application's own executable."""

import os


def count_primes(bounds):
    low, high = bounds
    count = 0
    for n in range(max(low, 2), high):
        if n < 4:
            count += 1
            continue
        if n % 2 == 0:
            continue
        d = 3
        while d * d <= n:
            if n % d == 0:
                break
            d += 2
        else:
            count += 1
    return count, os.getpid(), os.readlink("/proc/self/exe")


def chunks(limit, parts):
    step = -(-limit // parts)
    return [(low, min(low + step, limit)) for low in range(0, limit, step)]
