"""Tests for the pure-Python stand-ins: daz, the licence helper and wrenkit."""

import importlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

STANDINS = Path(__file__).parent.parent / "standins"
WRENKIT = STANDINS / "wrenkit.py"
SECRET = "s3cret-Do-Not-Leak"


def _load(name: str):
    """Prefer the installed package; fall back to the source tree."""
    try:
        return importlib.import_module(name)
    except ImportError:
        sys.path.insert(0, str(STANDINS))
        return importlib.import_module(name)


lh = _load("ferrovane.cairn.sdk.license_helper")
daz = _load("ferrovane.daz")


@pytest.fixture(autouse=True)
def fresh_daz():
    daz.reset()
    yield
    daz.reset()


@pytest.mark.parametrize("args, kwargs, kind", [
    (("alice", SECRET), {}, "password"),
    (("alice",), {"appkey": SECRET}, "app_key"),
])
def test_daz_records_login_without_secret(args, kwargs, kind):
    daz.init(*args, **kwargs)
    assert daz.last_login == daz.Login("alice", kind)
    assert SECRET not in repr(vars(daz))


@pytest.mark.parametrize("args, kwargs", [
    (("", SECRET), {}), (("alice",), {}), (("alice", ""), {"appkey": None}),
    (("alice", SECRET), {"appkey": SECRET}),
])
def test_daz_rejects_bad_arguments_without_leaking(args, kwargs):
    daz.init("earlier", appkey="k")
    with pytest.raises(ValueError) as info:
        daz.init(*args, **kwargs)
    assert SECRET not in str(info.value)
    assert daz.last_login == daz.Login("earlier", "app_key")


def _licence(tmp_path, monkeypatch, var: str, content: bytes) -> str:
    path = tmp_path / "lic.json"
    path.write_bytes(content)
    monkeypatch.setenv(var, str(path))
    return str(path)


BOTH = json.dumps({"user": "u", "password": "p", "app_key": "k"}).encode()


@pytest.mark.parametrize("var, content, expected", [
    ("FERROVANE_LICENSE", BOTH, ("u", "p")),
    ("FERROVANE_APPKEY_LICENSE", BOTH, ("u", "k")),
    ("ANY_OTHER_VAR", BOTH, ("u", "k")),
    ("FERROVANE_LICENSE", b'{"user": "u"}', ("u", None)),
    ("FERROVANE_APPKEY_LICENSE", b'{"app_key": ""}', (None, "")),
    ("FERROVANE_LICENSE", b'\xef\xbb\xbf{"user": "\xc3\xa9", "password": "p"}', ("\u00e9", "p")),
])
def test_license_happy_paths(tmp_path, monkeypatch, var, content, expected):
    _licence(tmp_path, monkeypatch, var, content)
    result = lh.get_license_info() if var == "FERROVANE_LICENSE" else lh.get_license_info(var)
    assert type(result) is tuple and result == expected


def test_license_unset_or_empty_variable(monkeypatch):
    monkeypatch.delenv("FERROVANE_LICENSE", raising=False)
    monkeypatch.setenv("FERROVANE_APPKEY_LICENSE", "")
    assert lh.get_license_info() == lh.get_license_info("FERROVANE_APPKEY_LICENSE") == (None, None)


@pytest.mark.parametrize("content, problem", [
    (None, "cannot be read"),
    (b'{"password": "' + SECRET.encode() + b'\xff"}', "not UTF-8"),
    (b'{"password": "' + SECRET.encode(), "not valid JSON"),
    (json.dumps([SECRET]).encode(), "array"),
    (json.dumps({"password": [SECRET]}).encode(), '"password"'),
    (json.dumps({"user": None, "password": SECRET}).encode(), '"user"'),
])
def test_license_malformed_source(tmp_path, monkeypatch, content, problem):
    path = _licence(tmp_path, monkeypatch, "FERROVANE_LICENSE", content or b"")
    if content is None:
        os.remove(path)
    with pytest.raises(lh.LicenseError) as info:
        lh.get_license_info()
    message = str(info.value)
    assert "FERROVANE_LICENSE" in message and path in message and problem in message
    assert SECRET not in message and isinstance(info.value, ValueError)
    # A chained decoder error would carry the raw file text along.
    assert info.value.__cause__ is None and info.value.__context__ is None


def _run_wrenkit(settings_path: str | None):
    env = {k: v for k, v in os.environ.items() if k != "WRENKIT_SETTINGS"}
    if settings_path is not None:
        env["WRENKIT_SETTINGS"] = settings_path
    proc = subprocess.run([sys.executable, str(WRENKIT)], env=env,
                          capture_output=True, text=True, encoding="utf-8")
    return proc.returncode, json.loads(proc.stdout)


def test_wrenkit_prints_settings_in_file_order(tmp_path):
    assert "ferrovane" not in WRENKIT.read_text(encoding="utf-8")  # a tool of its own, not part of the SDK
    path = tmp_path / "s.json"
    path.write_text('{"Z": 1, "KORVEX_CUSTOM_APP_KEY": "k\u00e9", "KORVEX_ACCOUNT": null}',
                    encoding="utf-8")
    assert _run_wrenkit(str(path)) == (0, {"Code": 0, "Result": [
        {"Key": "Z", "Value": 1}, {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": "k\u00e9"},
        {"Key": "KORVEX_ACCOUNT", "Value": None}]})


@pytest.mark.parametrize("where, content", [
    ("unset", None), ("empty", None), ("file", None), ("dir", None),
    ("file", b"\xff\xfe{}"),
    ("file", b'{"KORVEX_CUSTOM_APP_KEY": "' + SECRET.encode()),
    ("file", json.dumps([SECRET]).encode()),
])
def test_wrenkit_without_settings(tmp_path, where, content):
    path = tmp_path / "s.json"
    if content is not None:
        path.write_bytes(content)
    arg = {"unset": None, "empty": "", "file": str(path), "dir": str(tmp_path)}[where]
    code, out = _run_wrenkit(arg)
    assert code == 1 and out["Code"] == 1 and out["Result"] == []
    assert out["Message"] and SECRET not in out["Message"]
