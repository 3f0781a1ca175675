"""The benchmark's program: numpy imported and used once, then the end."""

import numpy

print(numpy.ones(3).sum())
