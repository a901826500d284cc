"""The check command of ferrovane-cairn-login: `python -m ferrovane_cairn_login check [--json] [--login]`
calls the installed module's own init_daz() once, recording the calls it makes, and reports which source
gives the credentials (the agent tool, the licence, the app-key licence), or why none does, or where and
why the call fails. Without --login, daz.init is not called. No secret is printed."""
