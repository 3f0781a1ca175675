# What the program starts: the interpreter through sys.executable, through
# shells, wrappers and a detached job, also with an environment of its own,
# and a virtual environment's interpreter.
import os
import shlex
import subprocess
import sys
import tempfile
import time

print("PYTHONHOME" in os.environ)
exe = shlex.quote(sys.executable)
code = "import sys; print('an interpreter', sys.argv[1:])"


def run(argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=60, **kwargs)
    return result.returncode, result.stdout.strip(), result.stderr.strip()


print(run([sys.executable, "-c", code, "direct"]))
# -B: no bytecode caches written into the interpreter's own standard library.
print(run([sys.executable, "-B", "-c", code, "bare environment"], env={}))
print(run(f"{exe} -c {shlex.quote(code)} shell", shell=True))
print(run(["timeout", "30", "sh", "-c", f"{exe} -c {shlex.quote(code)} wrapped"]))
print(os.system(f"{exe} -c 'import sys; sys.exit(3)'") >> 8)
with tempfile.TemporaryDirectory() as d:
    done = os.path.join(d, "done")
    script = f"import time; time.sleep(0.5); open({done!r}, 'w').write('detached')"
    subprocess.run(f"nohup {exe} -c {shlex.quote(script)} >/dev/null 2>&1 &", shell=True)
    for _ in range(600):
        if os.path.exists(done):
            break
        time.sleep(0.1)
    print(open(done).read())
    venv = os.path.join(d, "venv")
    print(run([sys.executable, "-m", "venv", "--without-pip", venv]))
    print(run([os.path.join(venv, "bin", "python"), "-c",
               "import sys; print(sys.prefix != sys.base_prefix)"]))
