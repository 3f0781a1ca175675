# Standard output swapped out and put back: one stream, one buffer, the
# lines in the order the program printed them.
import io
import sys

print("1")
sys.stdout = io.StringIO()
print("not shown")
sys.stdout = sys.__stdout__
print("2")
sys.__stdout__.write("3\n")
