# The standard streams are text files with a descriptor, as python3's are.
import doctest
import faulthandler
import io
import os
import subprocess
import sys
import tempfile


def doubled(x):
    """
    >>> doubled(21)
    42
    """
    return 2 * x


out, err = sys.stdout, sys.stderr
print(type(out).__name__, out is sys.__stdout__, err is sys.__stderr__)
print(out.name, out.mode, out.fileno(), err.fileno(), out.isatty())
print(out.encoding == err.encoding, out.errors, err.errors, out.line_buffering)
print(isinstance(out.buffer, io.BufferedIOBase))
faulthandler.enable()
print("faulthandler", faulthandler.is_enabled())
out.writelines(["written ", "as lines\n"])
for wrong in (lambda: out.write(b"bytes"), lambda: out.buffer.write("text")):
    try:
        wrong()
    except TypeError as e:
        print("TypeError:", e)
out.flush()  # the text layer may hold text back from the byte layer
out.buffer.write(b"bytes through the buffer\n")
out.buffer.flush()
out.buffer.raw.write(b"bytes through the raw stream\n")
print("raw", out.buffer.raw.fileno(), out.buffer.raw.writable())
out.reconfigure(line_buffering=True)
print("line buffering", out.line_buffering)
print(doctest.testmod())
out.flush()
subprocess.run(["echo", "a child writes to the same stream"], stdout=out, check=True)
with tempfile.TemporaryFile() as f:
    saved = os.dup(1)
    os.dup2(f.fileno(), 1)
    print("into the file", flush=True)
    os.dup2(saved, 1)
    f.seek(0)
    print("the file got", f.read())
