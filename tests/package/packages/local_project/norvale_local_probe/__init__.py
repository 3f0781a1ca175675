"""A package built from a local folder, with a data file of its own."""

from importlib import resources


def greeting():
    return resources.files(__name__).joinpath("greeting.txt").read_text(encoding="utf-8").strip()
