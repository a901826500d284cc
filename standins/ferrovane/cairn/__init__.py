"""Cairn: the SDK and utility modules of the ferrovane package."""
