"""Log this process in to daz and report which kind of credential was used.

Without FERROVANE_LICENSE in the environment, the bundled sample licence
next to this script is used, so the demo works out of the box. Only the user
and the kind of secret are printed, never the secret.
"""

import os
import sys
from pathlib import Path

BUNDLED_LICENCE = Path(__file__).resolve().parent / "licence.json"


def main() -> int:
    """Run the login and print one line describing it; return the exit status."""
    os.environ.setdefault("FERROVANE_LICENSE", str(BUNDLED_LICENCE))

    from ferrovane import daz
    from ferrovane.cairn.utils import login

    login.init_daz()
    made = daz.last_login
    if made is None:
        print("no usable credentials found; not logged in")
        return 1
    kind = "a password" if made.secret_kind == "password" else "an app key"
    print(f"logged in as {made.user} with {kind}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
