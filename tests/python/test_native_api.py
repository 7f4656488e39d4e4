"""The module _native and its class Session: attributes, docstrings, the
argument rules with their exact texts, and failures that need no Tor network."""

import gc
import inspect
import os
import re
import subprocess
import sys
import weakref

import pytest

import mistgrove
import support
from mistgrove import _native
from mistgrove._native import Session

DEFAULT_BOOTSTRAP = "131.188.40.189:80"
ONION = support.ONION
RANGE = "out of range integral type conversion attempted"


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    return support.session(tmp_path_factory.mktemp("api"))


def test_module_exports_docstring_and_session():
    assert _native.__all__ == ["__doc__", "Session"]
    assert _native.__doc__ and "\n" not in _native.__doc__
    assert mistgrove.__all__ == ["Session"]
    assert mistgrove.Session is Session


def test_class_shape():
    assert (Session.__module__, Session.__name__, Session.__qualname__) == (
        "builtins", "Session", "Session")
    assert Session.__mro__ == (Session, object)
    members = [name for name in vars(Session) if not name.startswith("__")]
    assert members == ["create_async", "request", "request_async", "http_get", "http_get_async"]
    assert isinstance(inspect.getattr_static(Session, "create_async"), staticmethod)


def test_instances_have_no_dict_no_weakref_and_are_not_gc_tracked(session):
    assert not hasattr(session, "__dict__")
    assert not gc.is_tracked(session)
    with pytest.raises(TypeError, match="^cannot create weak reference to 'builtins.Session' object$"):
        weakref.ref(session)


def test_cannot_be_subclassed():
    with pytest.raises(TypeError, match="^type 'builtins.Session' is not an acceptable base type$"):
        type("Derived", (Session,), {})


SESSION_SIGNATURE = (f'(bootstrap="{DEFAULT_BOOTSTRAP}", consensus_file="", '
                     "timeout_ms=30000, verbose=False)")


@pytest.mark.parametrize("member, signature", [
    (Session, SESSION_SIGNATURE),
    (Session.create_async, SESSION_SIGNATURE),
    (Session.request, "($self, onion, port, payload=..., response_limit=...)"),
    (Session.request_async, "($self, onion, port, payload=..., response_limit=...)"),
    (Session.http_get, '($self, onion, port=80, path="/", response_limit=...)'),
    (Session.http_get_async, '($self, onion, port=80, path="/", response_limit=...)'),
])
def test_docstring_is_only_a_signature(member, signature):
    assert member.__text_signature__ == signature
    # Nothing follows the signature block.
    assert member.__doc__ in ("", None)


# (call, exception type, exact message): binding fails before any conversion.
BINDING = [
    (lambda s: Session(1, 2, 3, 4, 5), TypeError,
     "Session.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda s: Session.create_async(1, 2, 3, 4, 5, foo=1), TypeError,
     "Session.create_async() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda s: s.request(), TypeError,
     "Session.request() missing 2 required positional arguments: 'onion' and 'port'"),
    (lambda s: s.request(None), TypeError,
     "Session.request() missing 1 required positional argument: 'port'"),
    (lambda s: s.request_async(port=1), TypeError,
     "Session.request_async() missing 1 required positional argument: 'onion'"),
    (lambda s: s.request(ONION, 1, b"", 1, 2), TypeError,
     "Session.request() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda s: s.http_get(), TypeError,
     "Session.http_get() missing 1 required positional argument: 'onion'"),
    (lambda s: s.http_get_async(ONION, 80, "/", 1, 2), TypeError,
     "Session.http_get_async() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda s: s.http_get(None, onion=ONION), TypeError,
     "Session.http_get() got multiple values for argument 'onion'"),
    (lambda s: s.request(ONION, 1, port=2), TypeError,
     "Session.request() got multiple values for argument 'port'"),
    (lambda s: Session(bootstrap=None, foo=1), TypeError,
     "Session.__new__() got an unexpected keyword argument 'foo'"),
    (lambda s: s.http_get(ONION, Path="/"), TypeError,
     "Session.http_get() got an unexpected keyword argument 'Path'"),
    (lambda s: s.request(foo=1), TypeError,
     "Session.request() got an unexpected keyword argument 'foo'"),
]


class Index:
    """An int stand-in through __index__; `fail` makes __index__ raise it."""

    def __init__(self, value=0, fail=None):
        self.value, self.fail = value, fail

    def __index__(self):
        if self.fail:
            raise self.fail
        return self.value


def caused_type_error():
    try:
        raise ValueError("root")
    except ValueError as e:
        error = TypeError("no index")
        error.__cause__ = e
        return error


# Minimal stand-ins for numpy's bool scalar type, by module and name.
NumpyBoolWithoutConversion = type("bool_", (), {"__module__": "numpy"})
NumpyBool = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})


class Items:
    """A sequence by __getitem__ alone; item `fail_at` raises KeyError."""

    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at

    def __getitem__(self, i):
        if i == self.fail_at:
            raise KeyError(i)
        return self.items[i]

    def __len__(self):
        raise RuntimeError("only a size hint")


class Text(str):
    pass


# (call, exception type, exact message): the first failing conversion decides.
CONVERSION = [
    (lambda s: Session(bootstrap=1), TypeError,
     "argument 'bootstrap': 'int' object is not an instance of 'str'"),
    (lambda s: Session(consensus_file=None), TypeError,
     "argument 'consensus_file': 'None' is not an instance of 'str'"),
    (lambda s: s.request(b"onion", 1), TypeError,
     "argument 'onion': 'bytes' object is not an instance of 'str'"),
    (lambda s: s.http_get(ONION, path=["/"]), TypeError,
     "argument 'path': 'list' object is not an instance of 'str'"),
    (lambda s: s.request("\udcff", 1), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udcff' in position 0: surrogates not allowed"),
    (lambda s: Session(timeout_ms=2**31), OverflowError, RANGE),
    (lambda s: Session(timeout_ms=-2**31 - 1), OverflowError, RANGE),
    (lambda s: Session.create_async(timeout_ms=2**63), OverflowError,
     "Python int too large to convert to C long"),
    (lambda s: Session(timeout_ms=1.0), TypeError,
     "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
    (lambda s: Session(timeout_ms=None), TypeError,
     "argument 'timeout_ms': 'NoneType' object cannot be interpreted as an integer"),
    (lambda s: s.request(ONION, 65536), OverflowError, RANGE),
    (lambda s: s.request(ONION, -1), OverflowError, RANGE),
    (lambda s: s.http_get(ONION, "80"), TypeError,
     "argument 'port': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.request(ONION, 1, b"", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda s: s.http_get_async(ONION, response_limit=2**64), OverflowError, "int too big to convert"),
    (lambda s: s.http_get(ONION, response_limit=1.5), TypeError,
     "argument 'response_limit': 'float' object cannot be interpreted as an integer"),
    (lambda s: Session(verbose=1), TypeError,
     "argument 'verbose': 'int' object is not an instance of 'bool'"),
    (lambda s: Session.create_async(verbose=None), TypeError,
     "argument 'verbose': 'None' is not an instance of 'bool'"),
    (lambda s: Session(verbose=NumpyBoolWithoutConversion()), TypeError,
     "argument 'verbose': object of type '<class 'numpy.bool_'>' does not define a "
     "'__bool__' conversion"),
    (lambda s: s.request(ONION, 1, "GET"), TypeError,
     "argument 'payload': Can't extract `str` to `Vec`"),
    (lambda s: s.request(ONION, 1, Text("GET")), TypeError,
     "argument 'payload': Can't extract `str` to `Vec`"),
    (lambda s: s.request_async(ONION, 1, None), TypeError,
     "argument 'payload': 'None' is not an instance of 'Sequence'"),
    (lambda s: s.request(ONION, 1, {1, 2}), TypeError,
     "argument 'payload': 'set' object is not an instance of 'Sequence'"),
    (lambda s: s.request(ONION, 1, [71, 256]), OverflowError, RANGE),
    (lambda s: s.request(ONION, 1, [-1]), OverflowError, RANGE),
    (lambda s: s.request(ONION, 1, ["G"]), TypeError,
     "argument 'payload': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.request(ONION, 1, Items([1, 2], fail_at=1)), KeyError, "1"),
    # A TypeError is reworded and keeps its cause; other errors pass unchanged.
    (lambda s: s.request(ONION, Index(fail=caused_type_error())), TypeError,
     "argument 'port': no index"),
    (lambda s: s.request(ONION, Index(fail=ValueError("bad index"))), ValueError, "bad index"),
    # Parameters convert in order: the first failure hides the later ones.
    (lambda s: s.request(None, 70000, "x"), TypeError,
     "argument 'onion': 'None' is not an instance of 'str'"),
    (lambda s: s.request(ONION, 70000, "x"), OverflowError, RANGE),
]


@pytest.mark.parametrize("call, kind, message", BINDING + CONVERSION)
def test_argument_errors(session, call, kind, message):
    with pytest.raises(BaseException) as caught:
        call(session)
    assert type(caught.value) is kind
    assert str(caught.value) == message


def test_reworded_type_error_keeps_the_cause(session):
    with pytest.raises(TypeError) as caught:
        session.request(ONION, Index(fail=caused_type_error()))
    assert type(caught.value.__cause__) is ValueError
    assert str(caught.value.__cause__) == "root"


NO_SRV = "consensus has no shared-rand values"


# Accepted arguments reach the core, which then fails for want of a shared
# random value: proof that conversion passed.
@pytest.mark.parametrize("call", [
    lambda s: s.request(ONION, True),
    lambda s: s.request(ONION, Index(7), bytearray(b"GET")),
    lambda s: s.request(Text(ONION), 7, [71, 69, 84]),
    lambda s: s.request(ONION.upper(), 7, (True, 255), Index(2**63)),
    lambda s: s.request(ONION, 7, memoryview(b"GET")),
    lambda s: s.request(ONION, 7, range(3)),
    lambda s: s.request(ONION, 7, Items([1, 2, 3])),
    lambda s: s.request(onion=ONION, port=7, payload=b"", response_limit=0),
    lambda s: s.http_get(ONION),
    lambda s: s.http_get(ONION, 8080, "index.html", 2**64 - 1),
])
def test_converted_arguments_reach_the_core(session, call):
    with pytest.raises(RuntimeError, match=f"^{NO_SRV}$"):
        call(session)


@pytest.mark.parametrize("onion, message", [
    ("x", "v3 onion address must have 56 base32 characters"),
    (ONION + ".onion", "v3 onion address must have 56 base32 characters"),
    ("1" + ONION[1:], "invalid base32 character in onion address"),
])
def test_request_failures_are_runtime_errors(session, onion, message):
    for call in (lambda: session.request(onion, 80), lambda: session.http_get(onion)):
        with pytest.raises(RuntimeError) as caught:
            call()
        assert type(caught.value) is RuntimeError and caught.value.args == (message,)
    # A failed call leaves the session usable.
    with pytest.raises(RuntimeError, match=f"^{NO_SRV}$"):
        session.http_get(ONION)


@pytest.mark.parametrize("kwargs, message", [
    ({"bootstrap": "127.0.0.1"}, "missing port"),
    ({"bootstrap": "127.0.0.1:0", "consensus_file": "missing.txt"}, "missing port"),
    ({"bootstrap": ""}, "empty host"),
    ({"bootstrap": support.REFUSED, "consensus_file": "missing.txt"}, "failed to open missing.txt"),
    ({"bootstrap": support.REFUSED, "timeout_ms": -1}, "timeout must be non-negative"),
    ({"bootstrap": support.REFUSED},
     "tcp connect failed to 127.0.0.1:1: Connection refused (os error 111)"),
])
def test_creation_failures(tmp_path, monkeypatch, kwargs, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError) as caught:
        Session(**kwargs)
    assert caught.value.args == (message,)


@pytest.mark.parametrize("verbose", [False, True, NumpyBool()])
def test_creation_from_a_file(tmp_path, verbose):
    path = support.consensus_file(tmp_path)
    assert type(Session(support.REFUSED, path, 1000, verbose)) is Session


def test_interpreter_lock_is_released_while_a_session_is_created():
    with support.silent_endpoint() as (endpoint, _), support.Ticker() as ticker:
        with pytest.raises(RuntimeError, match=r"^Resource temporarily unavailable \(os error 11\)$"):
            Session(bootstrap=endpoint, timeout_ms=1000)
    assert ticker.elapsed >= 0.9
    assert ticker.ticks >= 100


def test_blocking_calls_from_several_threads_get_their_own_outcomes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    outcomes = {}

    def create(name):
        with pytest.raises(RuntimeError) as caught:
            Session(support.REFUSED, name)
        outcomes[name] = caught.value.args

    names = [f"missing-{i}.txt" for i in range(8)]
    support.in_threads(create, names)
    assert outcomes == {name: (f"failed to open {name}",) for name in names}


# Under an address-space limit, reading a huge consensus file makes the core
# throw std::bad_alloc: an internal fault, not an Error.
FAULT = """
import asyncio, resource, sys
from mistgrove import Session

async def first_call():
    try:
        await Session.create_async("127.0.0.1")
    except RuntimeError:
        pass

asyncio.run(first_call())  # the executor's threads exist before the limit
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
try:
    Session("127.0.0.1:1", sys.argv[1])
except BaseException as e:
    print(type(e).__module__, type(e).__qualname__, isinstance(e, Exception), e, sep="|")

async def main():
    try:
        await Session.create_async("127.0.0.1:1", sys.argv[1])
    except RuntimeError as e:
        print(e)

asyncio.run(main())
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more than the limit allows")
def test_internal_faults(tmp_path):
    huge = tmp_path / "huge"
    with huge.open("wb") as f:
        f.truncate(4 << 30)  # sparse: no disk space used
    blocking, background = subprocess.run(
        [sys.executable, "-c", FAULT, str(huge)], capture_output=True, text=True, timeout=120,
        check=True).stdout.splitlines()
    # A BaseException, so that `except Exception` does not swallow it.
    assert blocking == "pyo3_runtime|PanicException|False|std::bad_alloc"
    assert re.fullmatch(r'async runtime task failed: task [1-9]\d* panicked with message '
                        r'"std::bad_alloc"', background)
