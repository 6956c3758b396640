"""Morla: quantised integer models on Morla neural processors."""

from . import core
from .core import *  # noqa: F401,F403  (the module's public names)

# The package version (what `pip show morla` reports); core.__version__ is the version
# text of the engine library inside it.
__version__ = "0.1.0"
