"""python -m kelvara_tools: the kelvara command."""

from .cli import entry_point

entry_point()
