"""Ferrovane package: the service client `daz` and the cairn SDK."""

from . import daz

__all__ = ["daz"]
