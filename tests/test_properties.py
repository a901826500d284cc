"""Properties of init_daz over generated agent responses and licence lookup results.

The expected outcome of each example comes from a small oracle written from the rules of the
agent response and the credential chain (which source wins, what unpacking accepts, which
statement fails), not from a replay of the module's steps. Fakes are bound as the module's globals
for the length of one example.
"""

from __future__ import annotations

import contextlib
import json as real_json
import types
from dataclasses import dataclass, field
from typing import Any, Iterator

from hypothesis import given, settings, strategies as st

from support import INIT_DAZ, SOURCE_PATH, module_entries

from ferrovane.cairn.utils import login

MISSING = object()
APPKEY_LOOKUP = ("FERROVANE_APPKEY_LICENSE",)
LICENCE_PAIR = ("licence-user", "licence-password")

# ---- outcomes ----

@dataclass(frozen=True)
class Login:
    """daz.init was called once, with these arguments."""

    args: tuple[Any, ...]
    kwargs: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class NoLogin:
    """init_daz returned None without calling daz.init."""


@dataclass(frozen=True)
class Raised:
    """init_daz raised `exc_type` with one traceback entry of its own, at `line`."""

    exc_type: type[BaseException]
    line: int
    message: str | None = None


class Expected(Exception):
    """Raised inside the oracles to say how the call ends."""

    def __init__(self, outcome: Raised) -> None:
        super().__init__(outcome)
        self.outcome = outcome


# ---- running one call against fakes ----

@contextlib.contextmanager
def bound(**names: Any) -> Iterator[None]:
    saved = {name: login.__dict__.get(name, MISSING) for name in names}
    try:
        for name, value in names.items():
            setattr(login, name, value)
        yield
    finally:
        for name, value in saved.items():
            if value is MISSING:
                login.__dict__.pop(name, None)
            else:
                setattr(login, name, value)


class Completed:
    def __init__(self, stdout: Any) -> None:
        self.stdout = stdout


@dataclass
class Observed:
    outcome: Login | NoLogin | Raised
    lookups: list[tuple[Any, ...]]
    agent_runs: int


def observe(*, selector: Any, stdout: Any = "", loads: Any = None, default: Any = LICENCE_PAIR,
            appkey: Any = (None, None)) -> Observed:
    """Calls init_daz once with these fakes bound and reports what it did."""
    logins: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
    lookups: list[tuple[Any, ...]] = []
    runs: list[Any] = []

    def run(*args: Any, **kwargs: Any) -> Completed:
        runs.append(args)
        return Completed(stdout)

    def get_license_info(*args: Any) -> Any:
        lookups.append(args)
        return default if args == () else appkey

    def init(*args: Any, **kwargs: Any) -> object:
        logins.append((args, kwargs))
        return object()  # whatever daz.init returns is not init_daz's result

    fakes = dict(
        os=types.SimpleNamespace(getenv=lambda name: selector),
        sys=types.SimpleNamespace(platform="linux"),
        subprocess=types.SimpleNamespace(run=run),
        json=types.SimpleNamespace(loads=loads) if loads else real_json,
        daz=types.SimpleNamespace(init=init),
        get_license_info=get_license_info,
    )
    with bound(**fakes):
        try:
            result = login.init_daz()
        except Exception as exc:  # noqa: BLE001 - the outcome under test
            entries = module_entries(exc)
            assert len(entries) == 1, entries
            (path, line, function), = entries
            assert (path, function) == (SOURCE_PATH, INIT_DAZ)
            assert not logins
            return Observed(Raised(type(exc), line, str(exc)), lookups, len(runs))
    assert result is None
    assert len(logins) <= 1
    outcome = Login(*logins[0]) if logins else NoLogin()
    return Observed(outcome, lookups, len(runs))


def same_outcome(seen: Login | NoLogin | Raised, expected: Login | NoLogin | Raised) -> bool:
    """Equal outcomes; the values of a login must be the very objects the fakes handed out."""
    if isinstance(expected, Raised):
        return (isinstance(seen, Raised) and seen.exc_type is expected.exc_type
                and seen.line == expected.line
                and (expected.message is None or seen.message == expected.message))
    if isinstance(expected, Login):
        return (isinstance(seen, Login) and len(seen.args) == len(expected.args)
                and all(a is b for a, b in zip(seen.args, expected.args))
                and seen.kwargs.keys() == expected.kwargs.keys()
                and all(seen.kwargs[k] is expected.kwargs[k] for k in seen.kwargs))
    return seen == expected


# ---- the agent response ----

SETTING_NAMES = ["KORVEX_ACCOUNT", "KORVEX_CUSTOM_APP_KEY"]
TEXTS = st.sampled_from(["", "Key", "Value", "Code", "Result", "a Key", "KeyRing", "x",
                         *SETTING_NAMES]) | st.text(max_size=6)
SCALARS = (st.none() | st.booleans() | st.integers(-3, 3) | st.integers()
           | st.floats(allow_nan=False, allow_infinity=False) | TEXTS)
JSON = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=4)
                    | st.dictionaries(TEXTS, inner, max_size=4), max_leaves=10)

SETTINGS = st.fixed_dictionaries({"Key": st.sampled_from(SETTING_NAMES) | JSON},
                                 optional={"Value": JSON, "Other": JSON})
# The two settings the module reads, with a value.
LOGIN_SETTINGS = st.builds(lambda key, value: {"Key": key, "Value": value},
                           st.sampled_from(SETTING_NAMES), JSON)
# Elements of "Result" in a well-formed response: settings and objects without "Key".
CLEAN_ELEMENTS = (LOGIN_SETTINGS | SETTINGS
                  | st.dictionaries(TEXTS.filter(lambda k: k != "Key"), JSON, max_size=3))
# Anything else JSON can hold as well: numbers, null, strings that contain "Key", arrays.
ELEMENTS = SETTINGS | JSON
# Both settings among others, in any order.
BOTH_SETTINGS = st.builds(
    lambda others, user_id, app_key: [*others, {"Key": "KORVEX_ACCOUNT", "Value": user_id},
                                      {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": app_key}],
    st.lists(CLEAN_ELEMENTS, max_size=3), JSON, JSON).flatmap(st.permutations)
SUCCESS = st.sampled_from([0, 0.0, -0.0, False])
CODES = SUCCESS | st.sampled_from([1, True, -1, 0.5, "0", "", None, [], {}]) | JSON
RESPONSES = st.one_of(
    st.fixed_dictionaries({"Code": SUCCESS, "Result": BOTH_SETTINGS}),
    st.fixed_dictionaries({"Code": SUCCESS, "Result": st.lists(CLEAN_ELEMENTS, max_size=6)}),
    st.fixed_dictionaries({"Code": SUCCESS, "Result": st.lists(ELEMENTS, max_size=4) | JSON}),
    st.fixed_dictionaries({}, optional={"Code": CODES, "Result": st.lists(ELEMENTS, max_size=6)
                                        | JSON, "Message": st.text(max_size=5)}),
    JSON,
)


def breaks_key_test(element: Any) -> bool:
    """`"Key" in element` or `element["Key"]` fails for it.

    Numbers and null support no membership test; a string or an array that contains "Key"
    passes the membership test but cannot be indexed by a string.
    """
    if element is None or isinstance(element, (int, float)):
        return True
    if isinstance(element, (str, list)):
        return "Key" in element
    return False


def last_value(elements: list[Any], name: str) -> Any:
    """The "Value" of the last setting named `name` (None when absent)."""
    values = [e.get("Value") for e in elements if isinstance(e, dict) and e.get("Key") == name]
    return values[-1] if values else None


def licence_login() -> Login:
    return Login(LICENCE_PAIR)


def expected_for_response(response: Any) -> Login | Raised:
    """What init_daz does when the agent prints `response` and the default licence is usable."""
    if not isinstance(response, dict):
        return Raised(AttributeError, 30)  # arrays, strings, numbers and null have no get()
    if not response.get("Code", 1) == 0:
        return licence_login()
    settings_ = response.get("Result")
    if not settings_:
        return licence_login()
    if isinstance(settings_, (int, float)):
        return Raised(TypeError, 33)  # a true number cannot be iterated
    elements = list(settings_)  # an array's items, an object's member names, a text's characters
    if any(breaks_key_test(e) for e in elements):
        return Raised(TypeError, 34)
    user_id = last_value(elements, "KORVEX_ACCOUNT")
    app_key = last_value(elements, "KORVEX_CUSTOM_APP_KEY")
    if user_id and app_key:
        return Login((user_id,), {"appkey": app_key})
    return licence_login()


@settings(max_examples=200, deadline=None)
@given(response=RESPONSES)
def test_agent_response_parsed(response: Any) -> None:
    """The response as json.loads returns it: the values reach daz.init as they are."""
    seen = observe(selector="app_key_daz", stdout="<stdout>", loads=lambda text: response)
    expected = expected_for_response(response)
    assert same_outcome(seen.outcome, expected), (seen.outcome, expected)
    assert seen.agent_runs == 1
    assert seen.lookups == ([()] if expected == licence_login() else [])


def equal_login(seen: Any, expected: Any) -> bool:
    """For values that went through the JSON text: equal, and of the same type."""
    if isinstance(expected, Login) and isinstance(seen, Login):
        values = [*zip(seen.args, expected.args), *(
            (seen.kwargs.get(k), v) for k, v in expected.kwargs.items())]
        return (seen.kwargs.keys() == expected.kwargs.keys()
                and len(seen.args) == len(expected.args)
                and all(a == b and type(a) is type(b) for a, b in values))
    return same_outcome(seen, expected)


@settings(max_examples=200, deadline=None)
@given(response=RESPONSES)
def test_agent_output_text(response: Any) -> None:
    """The tool's output as text, parsed by the json module."""
    text = real_json.dumps(response)
    seen = observe(selector="app_key_daz", stdout=text)
    expected = expected_for_response(real_json.loads(text))
    assert equal_login(seen.outcome, expected), (seen.outcome, expected)


@settings(max_examples=100, deadline=None)
@given(text=st.text(max_size=20))
def test_agent_output_any_text(text: str) -> None:
    """Whatever the tool prints: a decoding error at line 29 unless it is a JSON document."""
    try:
        parsed = real_json.loads(text)
    except ValueError:
        expected: Login | Raised = Raised(real_json.JSONDecodeError, 29)
    else:
        expected = expected_for_response(parsed)
    seen = observe(selector="app_key_daz", stdout=text)
    assert equal_login(seen.outcome, expected), (seen.outcome, expected)


# ---- the licence lookups ----

class Boom(Exception):
    pass


RAISE = "raise"


class Truth:
    """A value whose truth test gives `value`, or raises Boom; counts its truth tests."""

    def __init__(self, value: bool | str) -> None:
        self.value = value
        self.tested = 0

    def __bool__(self) -> bool:
        self.tested += 1
        if self.value == RAISE:
            raise Boom("truth test")
        return bool(self.value)

    def __repr__(self) -> str:
        return f"Truth({self.value!r})"


class Source:
    """An iterable (neither tuple nor list) over `items`; its iterator ends with Boom when
    `fails`. Counts the items handed out."""

    def __init__(self, items: list[Any], fails: bool) -> None:
        self.items = items
        self.fails = fails
        self.taken = 0

    def __iter__(self) -> Iterator[Any]:
        for item in self.items:
            self.taken += 1
            yield item
        if self.fails:
            raise Boom("iteration")

    def __repr__(self) -> str:
        return f"Source({self.items!r}, fails={self.fails})"


class Items(list):
    """A list subclass: not an exact list, so it is iterated."""


HALVES = (st.builds(Truth, st.sampled_from([True, False, RAISE]))
          | st.sampled_from([None, "", "x", 0, 1, (), ("a",), False, True]))
ITEM_LISTS = st.lists(HALVES, min_size=2, max_size=2) | st.lists(HALVES, max_size=4)
LOOKUP_RESULTS = st.one_of(
    ITEM_LISTS.map(tuple),
    ITEM_LISTS,
    ITEM_LISTS.map(Items),
    st.builds(Source, ITEM_LISTS, st.booleans()),
    st.text("abKey", max_size=3),  # iterated: its characters
    st.dictionaries(st.sampled_from(["u", "p", "q"]), st.none(), max_size=3),  # its keys
    st.sampled_from([None, 0, 2.5]),  # not iterable
    st.builds(Truth, st.just(True)),  # not iterable either
)
SELECTORS = st.none() | st.sampled_from(["", "app_key_daz ", "APP_KEY_DAZ", " app_key_daz",
                                         "app_key_daz"]) | st.text(max_size=12)


def unpacked(result: Any, line: int) -> tuple[Any, Any]:
    """The two values of `first, second = result`, or the failure at `line`."""
    def need_more(count: int) -> Expected:
        suffix = "" if count == 1 else "s"
        return Expected(Raised(ValueError, line, f"need more than {count} value{suffix} to unpack"))
    too_many = Expected(Raised(ValueError, line, "too many values to unpack (expected 2)"))

    if type(result) in (tuple, list):
        if len(result) > 2:
            raise too_many
        if len(result) < 2:
            raise need_more(len(result))
        return result[0], result[1]
    if isinstance(result, Source):
        # Up to three items are taken: the third, or the iterator's end, settles it.
        if len(result.items) > 2:
            raise too_many
        if result.fails:
            raise Expected(Raised(Boom, line))
        if len(result.items) < 2:
            raise need_more(len(result.items))
        return result.items[0], result.items[1]
    if isinstance(result, (str, dict, Items)):
        items = list(result)
        if len(items) > 2:
            raise too_many
        if len(items) < 2:
            raise need_more(len(items))
        return items[0], items[1]
    raise Expected(Raised(TypeError, line))  # not iterable


class Chain:
    """The oracle for the licence lookups: the outcome, the lookups made and the truth tests
    of each half, when the agent is not selected or yields nothing."""

    def __init__(self, default: Any, appkey: Any) -> None:
        self.lookups: list[tuple[Any, ...]] = []
        self.tested: dict[int, int] = {}
        try:
            self.outcome = self.resolve(default, appkey)
        except Expected as failure:
            self.outcome = failure.outcome

    def resolve(self, default: Any, appkey: Any) -> Login | NoLogin:
        self.lookups.append(())
        user, password = unpacked(default, 41)
        if self.usable(user, password, 42):
            return Login((user, password))
        self.lookups.append(APPKEY_LOOKUP)
        user, app_key = unpacked(appkey, 45)
        if self.usable(user, app_key, 46):
            return Login((user,), {"appkey": app_key})
        return NoLogin()

    def usable(self, first: Any, second: Any, line: int) -> bool:
        """Both halves true; the second is tested only when the first is true."""
        return self.is_true(first, line) and self.is_true(second, line)

    def is_true(self, value: Any, line: int) -> bool:
        if not isinstance(value, Truth):
            return bool(value)
        self.tested[id(value)] = self.tested.get(id(value), 0) + 1
        if value.value == RAISE:
            raise Expected(Raised(Boom, line))
        return bool(value.value)


def truths_in(*results: Any) -> list[Truth]:
    found = []
    for result in results:
        items = result.items if isinstance(result, Source) else (
            result if isinstance(result, (tuple, list)) else [])
        found += [item for item in items if isinstance(item, Truth)]
    return found


@settings(max_examples=200, deadline=None)
@given(selector=SELECTORS, default=LOOKUP_RESULTS, appkey=LOOKUP_RESULTS, agent_code=CODES)
def test_licence_lookups(selector: Any, default: Any, appkey: Any, agent_code: Any) -> None:
    # When the agent is selected, it answers with no settings: the chain goes on to the licences.
    response = {"Code": agent_code, "Result": []}
    seen = observe(selector=selector, loads=lambda text: response, default=default, appkey=appkey)
    chain = Chain(default, appkey)
    assert same_outcome(seen.outcome, chain.outcome), (seen.outcome, chain.outcome)
    assert seen.lookups == chain.lookups
    assert seen.agent_runs == (1 if selector == "app_key_daz" else 0)
    for source, lookup in ((default, ()), (appkey, APPKEY_LOOKUP)):
        if isinstance(source, Source) and lookup in chain.lookups:
            assert source.taken == min(len(source.items), 3)
    for half in truths_in(default, appkey):
        assert half.tested == chain.tested.get(id(half), 0), half
