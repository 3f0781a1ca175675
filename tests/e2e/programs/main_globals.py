# __main__ starts as python3's: its usual names, nothing of the host's.
import os

print(sorted(globals()))
print(type(__loader__).__name__, __spec__, __file__ == os.path.abspath(__file__))
try:
    sys
except NameError as e:
    print("NameError:", e)
