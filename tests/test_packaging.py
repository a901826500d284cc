"""The module's wheel as it ships: it holds the module and the check command's package alone, with its
licence and release metadata, installs into and out of an SDK's packages without touching a file of theirs,
is typed for type checkers, and where no ferrovane package exists its import fails as the module's own
import does, and the check command reports that failure. Each check installs
the wheel named by --wheel into a fresh environment of the running interpreter; without that option they
are skipped. Wherever the suite runs, the installed version is what git (or the sdist) gives, and the changelog
keeps its form."""

from __future__ import annotations

import base64
import csv
import email.parser
import hashlib
import importlib.metadata
import io
import json
import os
import re
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

import pytest
from packaging.version import Version

from support import IMPORT_TIME, SOURCE_PATH

ROOT = Path(__file__).resolve().parent.parent
DIST = "ferrovane_cairn_login"
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
VERSION = importlib.metadata.version("ferrovane-cairn-login")
KINDS = ("Added", "Changed", "Deprecated", "Removed", "Fixed", "Security")
DIST_INFO = f"{DIST}-{VERSION}.dist-info"

# A distribution standing in for the maker's real SDK: the packages the module lives in, its own daz
# (whose init prints) and licence helper, and no py.typed anywhere.
SDK_NAME = "maker_sdk"
SDK_FILES = {
    "ferrovane/__init__.py": "# the SDK's ferrovane\n",
    "ferrovane/daz.py": "def init(*args, **kwargs):\n    print('sdk daz.init', args, kwargs)\n",
    "ferrovane/cairn/__init__.py": "# the SDK's cairn\n",
    "ferrovane/cairn/sdk/__init__.py": "# the SDK's helpers\n",
    "ferrovane/cairn/sdk/license_helper.py":
        "def get_license_info(env_var='FERROVANE_LICENSE'):\n"
        "    return ('sdk-user', 'sdk-secret') if env_var == 'FERROVANE_LICENSE' else (None, None)\n",
    "ferrovane/cairn/utils/__init__.py": "# the SDK's utils\n",
}
SDK_LOGIN = "sdk daz.init ('sdk-user', 'sdk-secret') {}"
SDK_DIST_INFO = f"{SDK_NAME}-*.dist-info"
# The check command's package: pure Python, beside the SDK's packages, never inside them.
CHECK, CHECK_FILES = "ferrovane_cairn_login", ("__init__.py", "__main__.py", "_replay.py", "_rows.py")


@pytest.fixture(scope="module")
def wheel(request) -> Path:
    given = request.config.getoption("--wheel")
    if not given:
        pytest.skip("no wheel under test: build one (python -m pip wheel --no-deps -w dist .) and pass it as "
                    "--wheel=PATH")
    path = Path(given).resolve()
    assert path.is_file(), f"--wheel {given}: no such file"
    return path


def _digest(data: bytes) -> str:
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


@pytest.fixture(scope="module")
def sdk_wheel(tmp_path_factory) -> Path:
    """The stand-in real SDK as a pure wheel, written directly (no build backend, no network)."""
    dist_info = f"{SDK_NAME}-1.0.dist-info"
    files = {name: text.encode() for name, text in SDK_FILES.items()}
    files[f"{dist_info}/METADATA"] = f"Metadata-Version: 2.1\nName: {SDK_NAME}\nVersion: 1.0\n".encode()
    files[f"{dist_info}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    writer.writerows([name, f"sha256={_digest(data)}", len(data)] for name, data in files.items())
    writer.writerow([f"{dist_info}/RECORD", "", ""])
    files[f"{dist_info}/RECORD"] = record.getvalue().encode()
    path = tmp_path_factory.mktemp("sdk") / f"{SDK_NAME}-1.0-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data)
    return path


class Env:
    """A fresh virtual environment of the running interpreter, without pip: the running pip installs into
    it (pip's --python), which is much faster than bootstrapping a pip of its own."""

    def __init__(self, path: Path) -> None:
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", path], check=True)
        self.python = path / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
        paths = json.loads(self.run("import json, sysconfig; print(json.dumps(sysconfig.get_paths()))"))
        self.site, self.scripts = Path(paths["purelib"]), Path(paths["scripts"])

    def install(self, *wheels: Path) -> None:
        self.pip("install", "--no-index", "--no-deps", *wheels)

    def pip(self, *args: str | os.PathLike) -> None:
        done = subprocess.run([sys.executable, "-m", "pip", "--python", self.python, "--disable-pip-version-check",
                               "-q", *args], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr

    def run(self, code: str, cwd: os.PathLike | None = None) -> str:
        """Runs `code` in the environment, isolated from the checkout and the caller's settings."""
        env = {k: v for k, v in os.environ.items() if k not in ("FERROVANE_AGENT", "PYTHONPATH")}
        done = subprocess.run([self.python, "-I", "-c", code], capture_output=True, text=True, env=env,
                              cwd=cwd, timeout=60)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    def check(self, cwd: os.PathLike) -> tuple[int, dict]:
        """Runs the check command (a dry run): its exit status and JSON report."""
        env = {k: v for k, v in os.environ.items() if k not in ("FERROVANE_AGENT", "PYTHONPATH")}
        done = subprocess.run([self.python, "-I", "-m", CHECK, "check", "--json"], capture_output=True, text=True,
                              env=env, cwd=cwd, timeout=60)
        assert done.stderr == "", done.stderr
        return done.returncode, json.loads(done.stdout)

    def files_of(self, dist_info_glob: str) -> dict[str, str]:
        """Every file that an installed distribution's RECORD lists, with the digest of its content."""
        (record,) = self.site.glob(f"{dist_info_glob}/RECORD")
        with record.open(newline="", encoding="utf-8") as f:
            names = [row[0] for row in csv.reader(f)]
        return {name: _digest((self.site / name).read_bytes()) for name in names}


def changelog_sections(text: str) -> list[tuple[str, str]]:
    """(title, body) of each `## ` section of a changelog."""
    return re.findall(r"^## ([^\n]*)\n(.*?)(?=^## |\Z)", text, re.M | re.S)


def changelog_faults(text: str) -> list[str]:
    """What breaks the changelog's form: "Unreleased" first, then dated releases, newest first; in each
    section one heading per kind of change, and each list unbroken by blank lines."""
    sections, faults = changelog_sections(text), []
    titles = [title for title, _ in sections]
    if titles[:1] != ["[Unreleased]"] or "[Unreleased]" in titles[1:]:
        faults.append(f"not one [Unreleased] first: {titles}")
    versions = []
    for title, body in sections[1:]:
        release = re.fullmatch(r"\[(\d+\.\d+\.\d+)\] - \d{4}-\d{2}-\d{2}", title)
        if not release:
            faults.append(f"{title}: not a release heading `[X.Y.Z] - YYYY-MM-DD`")
        else:
            versions.append(Version(release[1]))
    if versions != sorted(set(versions), reverse=True):
        faults.append(f"releases not newest first, or repeated: {versions}")
    for title, body in sections:
        kinds = re.findall(r"^### ([^\n]*)$", body, re.M)
        if len(kinds) != len(set(kinds)) or not set(kinds) <= set(KINDS):
            faults.append(f"{title}: headings {kinds}, not one each of {KINDS}")
        if re.search(r"^(?:- |  )[^\n]*\n\n- ", body, re.M):
            faults.append(f"{title}: a list split by a blank line")
    return faults


def latest_release() -> Version | None:
    sections = changelog_sections((ROOT / "CHANGELOG.md").read_text(encoding="utf-8"))
    return Version(sections[1][0][1:].split("]")[0]) if len(sections) > 1 else None


def git(*args: str) -> str | None:
    """git's output in the checkout; None where there is no git or no repository (an sdist, a copy)."""
    try:
        done = subprocess.run(["git", "-C", ROOT, *args], capture_output=True, text=True, timeout=30)
    except OSError:
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def test_changelog_keeps_its_form():
    assert changelog_faults((ROOT / "CHANGELOG.md").read_text(encoding="utf-8")) == []


@pytest.mark.parametrize("text, fault", [
    ("## [Unreleased]\n### Added\n- a\n### Changed\n- b\n### Added\n- c\n", "headings"),
    ("## [Unreleased]\n## [0.2.0] - 2026-01-02\n### Fixed\n- a\n### Fixed\n- b\n", "headings"),
    ("## [Unreleased]\n### Added\n- a\n  more of a\n\n- b\n", "blank line"),
    ("## [Unreleased]\n## [0.1.0]\n### Added\n- a\n", "release heading"),
    ("## [Unreleased]\n## [0.1.0] - 2026-01-01\n## [0.2.0] - 2026-01-02\n", "newest first"),
    ("## [0.1.0] - 2026-01-01\n", "[Unreleased] first"),
    ("## [Unreleased]\n### Improved\n- a\n", "headings"),
], ids=["kind-twice", "kind-twice-in-release", "split-list", "undated", "order", "no-unreleased", "unknown-kind"])
def test_changelog_faults_are_found(text, fault):
    assert any(fault in found for found in changelog_faults(text)), changelog_faults(text)


def test_version_is_the_tag_or_a_development_version():
    """A build of a tag vX.Y.Z is X.Y.Z, the changelog's latest release; a build of any other commit, or of
    a tree with changes not committed, a development version after that release. An sdist carries its own."""
    version, latest = Version(VERSION), latest_release()
    if (ROOT / "PKG-INFO").is_file():  # an unpacked sdist
        pkg_info = email.parser.Parser().parsestr((ROOT / "PKG-INFO").read_text(encoding="utf-8"))
        assert version == Version(pkg_info["Version"])
    elif git("rev-parse", "--is-inside-work-tree") == "true":
        tag = git("describe", "--tags", "--exact-match", "--match", "v[0-9]*", "HEAD")
        clean = git("status", "--porcelain", "--untracked-files=no") == ""
        if tag and clean:
            assert (version, latest) == (Version(tag[1:]), Version(tag[1:])), tag
            return
    if version != latest:
        assert version.is_devrelease and (latest is None or version > latest), (version, latest)


def test_wheel_holds_the_module_its_stubs_and_licence_alone(wheel):
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert wheel.name.startswith(f"{DIST}-{VERSION}-{tag}-{tag}-"), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = {name for name in archive.namelist() if not name.endswith("/")}  # repair adds folders
        read = archive.read
        stub = (ROOT / "src" / "login" / "login.pyi").read_bytes()
        assert names == {
            f"ferrovane/cairn/utils/login{sysconfig.get_config_var('EXT_SUFFIX')}",
            "ferrovane/cairn/utils/login.pyi", "ferrovane-stubs/cairn/utils/login.pyi", "ferrovane-stubs/py.typed",
            *(f"{CHECK}/{name}" for name in CHECK_FILES),
            *(f"{DIST_INFO}/{name}" for name in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE"))}
        assert (read("ferrovane-stubs/py.typed"), read("ferrovane-stubs/cairn/utils/login.pyi"),
                read("ferrovane/cairn/utils/login.pyi")) == (b"partial\n", stub, stub)
        assert read(f"{DIST_INFO}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()
        assert all(read(f"{CHECK}/{name}") == (ROOT / "src" / CHECK / name).read_bytes() for name in CHECK_FILES)
        meta = email.parser.BytesParser().parsebytes(read(f"{DIST_INFO}/METADATA"))
    # Licence metadata as an SPDX expression with its file (not the deprecated License field), the
    # current metadata version, and classifiers for what is built and tested, this interpreter included.
    assert (meta["Metadata-Version"], meta["Name"], meta["Version"], meta["Author"]) == (
        "2.4", "ferrovane-cairn-login", VERSION, "ferrovane")
    assert (meta["License-Expression"], meta.get_all("License-File"), meta["License"]) == (
        PROJECT["license"], ["LICENSE"], None)
    assert PROJECT["license"].startswith("LicenseRef-")
    classifiers = set(meta.get_all("Classifier"))
    assert classifiers == set(PROJECT["classifiers"])
    assert {f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}",
            "Programming Language :: Python :: Implementation :: CPython", "Typing :: Typed",
            "Operating System :: POSIX :: Linux"} <= classifiers
    assert not any(c.startswith("License ::") for c in classifiers)  # the expression says it alone


@pytest.mark.parametrize("sdk_first", [True, False], ids=["sdk-then-module", "module-then-sdk"])
def test_install_and_uninstall_leave_the_sdk_as_it_was(wheel, sdk_wheel, tmp_path, sdk_first):
    env = Env(tmp_path / "env")
    for path in (sdk_wheel, wheel) if sdk_first else (wheel, sdk_wheel):
        env.install(path)
        if path == sdk_wheel:  # the SDK's files as its installation left them
            sdk = env.files_of(SDK_DIST_INFO)
    assert set(sdk) >= set(SDK_FILES)
    assert env.files_of(SDK_DIST_INFO) == sdk
    assert not list(env.scripts.glob("wrenkit*"))
    out = env.run("from ferrovane.cairn.utils import login; print(login.__file__); login.init_daz()",
                  cwd=tmp_path).splitlines()
    assert Path(out[0]).parent == env.site / "ferrovane" / "cairn" / "utils" and out[1:] == [SDK_LOGIN]
    status, report = env.check(tmp_path)  # the SDK's daz.init, which prints, is not called
    assert (status, report["source"], report["user"], report["module"]["file"]) == (0, "licence", "sdk-user", out[0])
    assert "sdk-secret" not in json.dumps(report)

    env.pip("uninstall", "-y", "ferrovane-cairn-login")
    assert env.files_of(SDK_DIST_INFO) == sdk
    assert env.run("""
import importlib.util, ferrovane.daz, ferrovane.cairn.sdk.license_helper
print(importlib.util.find_spec('ferrovane.cairn.utils.login'), importlib.util.find_spec('ferrovane_cairn_login'))""",
                   cwd=tmp_path) == "None None\n"
    assert not (env.site / "ferrovane-stubs").exists()


def test_without_ferrovane_the_import_fails_as_the_module_reports_it(wheel, tmp_path):
    env = Env(tmp_path / "env")
    env.install(wheel)
    out = env.run(f"""
import json, traceback
try:
    import ferrovane.cairn.utils.login
except ImportError as exc:
    tb = [(f.f_code.co_filename, n, f.f_code.co_name) for f, n in traceback.walk_tb(exc.__traceback__)]
    print(json.dumps([type(exc).__name__, str(exc), [e for e in tb if e[0] == {SOURCE_PATH!r}], tb[-1]]))
else:
    print(json.dumps("imported"))
""", cwd=tmp_path)
    entry = [SOURCE_PATH, 1, IMPORT_TIME]
    assert json.loads(out) == ["ImportError", "cannot import name daz", [entry], entry]
    status, report = env.check(tmp_path)  # the check command says so, with the guide's row of line 1
    error = report["error"]
    assert (status, report["outcome"], error["type"], error["message"], error["line"]) == (
        2, "error", "ImportError", "cannot import name daz", 1)
    assert error["statement"].startswith("from ferrovane import daz") and "python -m pip list" in error["advice"]


def test_type_checkers_see_the_module_typed(wheel, sdk_wheel, tmp_path):
    pytest.importorskip("mypy")
    env = Env(tmp_path / "env")
    env.install(sdk_wheel, wheel)
    (tmp_path / "use.py").write_text("from ferrovane.cairn.utils import login\n"
                                     "reveal_type(login.init_daz())\nlogin.init_daz(1)\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", env.python, "--no-incremental",
                           "--no-error-summary", "--hide-error-context", "use.py"], capture_output=True,
                          text=True, cwd=tmp_path)
    assert done.stdout.splitlines() == [
        'use.py:2: note: Revealed type is "None"',
        'use.py:3: error: Too many arguments for "init_daz"  [call-arg]'], done.stdout + done.stderr
