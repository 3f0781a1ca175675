# Standard output to a file: held in the buffer unless PYTHONUNBUFFERED asks
# otherwise, or line buffering is switched on. The file's size tells.
import os
import sys

print("a line")
sys.stderr.write(f"after print: {os.fstat(1).st_size}\n")
sys.stdout.reconfigure(line_buffering=True)
print("another")
sys.stderr.write(f"line buffered: {os.fstat(1).st_size}\n")
