"""Client for the daz service: records which login the process made.

Only the user and the kind of secret are kept; the secret itself is checked
for truth and then dropped, so it never appears in state, reprs or errors.
"""

from typing import NamedTuple

__all__ = ["Login", "init", "reset", "last_login"]


class Login(NamedTuple):
    """A completed login: the user and whether a password or an app key was used."""

    user: object
    secret_kind: str  # "password" or "app_key"


last_login: Login | None = None


def init(user: object, password: object = None, *, appkey: object = None) -> Login:
    """Log in as `user` with either a password or an app key (exactly one).

    Raises ValueError when the user is missing or when not exactly one secret
    is given; the message never includes a secret. A failed call leaves
    `last_login` as it was.
    """
    global last_login
    if not user:
        raise ValueError("daz.init: a user is required")
    has_password, has_appkey = bool(password), bool(appkey)
    if has_password == has_appkey:
        which = "both were given" if has_password else "neither was given"
        raise ValueError(f"daz.init: give exactly one of password or appkey; {which}")
    last_login = Login(user, "password" if has_password else "app_key")
    return last_login


def reset() -> None:
    """Forget the recorded login."""
    global last_login
    last_login = None
