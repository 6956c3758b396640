"""Morla: quantised integer models on Morla neural processors."""

from . import core
from .core import *  # noqa: F401,F403  (the module's public names)

__version__ = core.__version__
