"""Work for the pools of the test programs, importable by every child."""


def square(x):
    return x * x
