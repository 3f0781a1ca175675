"""Live figures of the machine the program runs on, from psutil."""

import time

import psutil


def load():
    one, five, fifteen = psutil.getloadavg()
    return f"{one:.2f}  {five:.2f}  {fifteen:.2f}"


def tasks():
    statuses = [p.info["status"] for p in psutil.process_iter(["status"])]
    running = statuses.count(psutil.STATUS_RUNNING)
    return f"{running} running of {len(statuses)}"


def processors():
    usage = psutil.cpu_percent(interval=None)
    return f"{psutil.cpu_count()} at {usage:.0f} % busy"


def memory():
    mem = psutil.virtual_memory()
    used = mem.total - mem.available
    return f"{used / 2**30:.1f} GiB used of {mem.total / 2**30:.1f} GiB ({mem.percent:.0f} %)"


def uptime():
    seconds = int(time.time() - psutil.boot_time())
    days, rest = divmod(seconds, 86400)
    hours, rest = divmod(rest, 3600)
    minutes, seconds = divmod(rest, 60)
    text = f"{hours:02d}:{minutes:02d}:{seconds:02d}"
    return f"{days} d {text}" if days else text


def all_figures():
    return [("Load average", load()), ("Tasks", tasks()), ("Processors", processors()),
            ("Memory", memory()), ("Uptime", uptime())]
