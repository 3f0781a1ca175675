"""Live figures of the machine the program runs on, read from /proc."""


def _read(path):
    with open(path, encoding="ascii") as f:
        return f.read()


def load():
    one, five, fifteen, tasks = _read("/proc/loadavg").split()[:4]
    running, total = tasks.split("/")
    return f"{one}  {five}  {fifteen}", f"{running} running of {total}"


def memory():
    fields = {}
    for line in _read("/proc/meminfo").splitlines():
        name, value = line.split(":", 1)
        fields[name] = int(value.split()[0])  # kB
    total, available = fields["MemTotal"], fields.get("MemAvailable", fields["MemFree"])
    used = total - available
    return f"{used / 1048576:.1f} GiB used of {total / 1048576:.1f} GiB ({100 * used / total:.0f} %)"


def uptime():
    seconds = int(float(_read("/proc/uptime").split()[0]))
    days, rest = divmod(seconds, 86400)
    hours, rest = divmod(rest, 3600)
    minutes, seconds = divmod(rest, 60)
    text = f"{hours:02d}:{minutes:02d}:{seconds:02d}"
    return f"{days} d {text}" if days else text


def all_figures():
    load_text, tasks = load()
    return [("Load average", load_text), ("Tasks", tasks), ("Memory", memory()), ("Uptime", uptime())]
