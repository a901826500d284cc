"""Utility modules; the compiled `login` module lives here."""
