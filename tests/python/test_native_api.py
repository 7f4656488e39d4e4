"""_native's shape, signatures and argument rules, and failures that need no Tor network."""

import ctypes
import os
import re
import subprocess
import sys

import pytest

import mistgrove
import support
from mistgrove import _native
from mistgrove._native import Session

ONION = support.ONION
RANGE = "out of range integral type conversion attempted"
NO_SRV = "consensus has no shared-rand values"
NO_LOOP = "no running event loop"
ARG, NOT = "argument ", "is not an instance of "


CREATE = '(bootstrap="131.188.40.189:80", consensus_file="", timeout_ms=30000, verbose=False)'
REQUEST = "($self, onion, port, payload=..., response_limit=...)"
HTTP_GET = '($self, onion, port=80, path="/", response_limit=...)'


def test_module_shape_and_signatures():
    assert _native.__all__ == ["__doc__", "Session"] and _native.__doc__
    assert mistgrove.__all__ == ["Session"] and mistgrove.Session is Session
    assert (Session.__module__, Session.__qualname__, Session.__mro__) == (
        "builtins", "Session", (Session, object))
    # The docstrings are the signatures alone.
    for member, text in {Session: CREATE, Session.create_async: CREATE, Session.request: REQUEST,
                         Session.request_async: REQUEST, Session.http_get: HTTP_GET,
                         Session.http_get_async: HTTP_GET}.items():
        assert (member.__text_signature__, member.__doc__ or "") == (text, ""), member
    # create_async is the class's own static method, bound to neither the class nor the module.
    assert (Session.create_async.__qualname__, Session.create_async.__self__) == (
        "Session.create_async", None)
    # The module keeps no state of its own.
    definition = ModuleDef.from_address(ctypes.pythonapi.PyModule_GetDef(ctypes.py_object(_native)))
    assert (definition.m_name, definition.m_doc, definition.m_size, definition.m_methods,
            definition.m_traverse, definition.m_clear, definition.m_free) == (
        b"_native", b"", 0, None, None, None, None)


class ModuleDef(ctypes.Structure):
    """The head of CPython's PyModuleDef."""
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
                ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
                ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.c_void_p),
                ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p)]


ctypes.pythonapi.PyModule_GetDef.argtypes = [ctypes.py_object]
ctypes.pythonapi.PyModule_GetDef.restype = ctypes.c_void_p


# A second module object shares the first one's class and its asyncio services: asyncio's
# get_running_loop was looked up once, by the first asyncio call.
REIMPORT = """
import asyncio, sys
import mistgrove._native as first

async def create(module):
    try:
        await module.Session.create_async("127.0.0.1:1", "/nonexistent")
    except RuntimeError as e:
        return e

print(asyncio.run(create(first)))
del sys.modules["mistgrove._native"]
asyncio.get_running_loop = None
import mistgrove._native as second
print(second is not first, second.Session is first.Session, second.__all__)
print(asyncio.run(create(second)))
"""


def test_a_second_module_object_shares_the_first_ones_class():
    assert subprocess.run([sys.executable, "-c", REIMPORT], capture_output=True, text=True,
                          timeout=60, check=True).stdout.splitlines() == [
        "failed to open /nonexistent", "True True ['__doc__', 'Session']",
        "failed to open /nonexistent"]


def throw(error):
    raise error


def Index(value=0, fail=None):  # an int stand-in through __index__, which raises `fail` if given
    return type("Index", (), {"__index__": lambda self: throw(fail) if fail else value})()


Text = type("Text", (str,), {})


# Stand-ins for numpy's bool scalar type, known by module and name.
NumpyBoolWithoutConversion = type("bool_", (), {"__module__": "numpy"})
NumpyBool = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})

# (call, exception type, exact message). Binding precedes conversion, parameters convert in order,
# and asyncio members look for the running loop only after converting: the first broken rule decides.
ERRORS = [
    (lambda s: type("Derived", (Session,), {}), TypeError,
     "type 'builtins.Session' is not an acceptable base type"),
    # Binding: missing, extra, duplicate and unknown arguments.
    (lambda s: Session(1, 2, 3, 4, 5), TypeError,
     "Session.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda s: s.request(), TypeError,
     "Session.request() missing 2 required positional arguments: 'onion' and 'port'"),
    (lambda s: s.request_async(port=1), TypeError,
     "Session.request_async() missing 1 required positional argument: 'onion'"),
    (lambda s: s.http_get_async(ONION, 80, "/", 1, 2), TypeError,
     "Session.http_get_async() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda s: s.http_get(None, onion=ONION), TypeError,
     "Session.http_get() got multiple values for argument 'onion'"),
    (lambda s: Session(bootstrap=None, foo=1), TypeError,
     "Session.__new__() got an unexpected keyword argument 'foo'"),
    (lambda s: Session(bootstrap=1), TypeError, f"{ARG}'bootstrap': 'int' object {NOT}'str'"),
    (lambda s: Session(consensus_file=None), TypeError, f"{ARG}'consensus_file': 'None' {NOT}'str'"),
    (lambda s: s.request("\udcff", 1), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udcff' in position 0: surrogates not allowed"),
    (lambda s: Session(timeout_ms=2**31), OverflowError, RANGE),
    (lambda s: Session.create_async(timeout_ms=2**63), OverflowError,
     "Python int too large to convert to C long"),
    (lambda s: Session(timeout_ms=None), TypeError,
     f"{ARG}'timeout_ms': 'NoneType' object cannot be interpreted as an integer"),
    (lambda s: s.request(ONION, 65536), OverflowError, RANGE),
    (lambda s: s.request(ONION, -1), OverflowError, RANGE),
    (lambda s: s.request(ONION, 1, b"", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda s: s.http_get_async(ONION, response_limit=2**64), OverflowError, "int too big to convert"),
    # A TypeError from __index__ is reworded; other errors pass unchanged.
    (lambda s: s.request(ONION, Index(fail=TypeError("no index"))), TypeError, f"{ARG}'port': no index"),
    (lambda s: s.request(ONION, Index(fail=ValueError("bad index"))), ValueError, "bad index"),
    (lambda s: Session(verbose=1), TypeError, f"{ARG}'verbose': 'int' object {NOT}'bool'"),
    (lambda s: Session.create_async(verbose=None), TypeError, f"{ARG}'verbose': 'None' {NOT}'bool'"),
    (lambda s: Session(verbose=NumpyBoolWithoutConversion()), TypeError,
     f"{ARG}'verbose': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (lambda s: s.request(ONION, 1, Text("GET")), TypeError, f"{ARG}'payload': Can't extract `str` to `Vec`"),
    (lambda s: s.request_async(ONION, 1, None), TypeError, f"{ARG}'payload': 'None' {NOT}'Sequence'"),
    (lambda s: s.request(ONION, 1, [71, 256]), OverflowError, RANGE),
    (lambda s: s.request(ONION, 1, ["G"]), TypeError,
     f"{ARG}'payload': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.request(None, 70000, "x"), TypeError, f"{ARG}'onion': 'None' {NOT}'str'"),
    # Converted arguments: the core's failures, or no running loop.
    (lambda s: s.request("x", 80), RuntimeError, "v3 onion address must have 56 base32 characters"),
    (lambda s: Session(support.REFUSED, "/nonexistent", 1000, NumpyBool()), RuntimeError,
     "failed to open /nonexistent"),
    (lambda s: Session.create_async(support.REFUSED, "/nonexistent", 1000, True), RuntimeError, NO_LOOP),
    (lambda s: s.create_async(support.REFUSED, "/nonexistent"), RuntimeError, NO_LOOP),
    (lambda s: Session("127.0.0.1\0.evil:1"), RuntimeError,
     "getaddrinfo failed for 127.0.0.1\0.evil: file name contained an unexpected NUL byte"),
    (lambda s: s.request_async(ONION, 1), RuntimeError, NO_LOOP),
    (lambda s: s.http_get_async(ONION), RuntimeError, NO_LOOP),
    # Accepted kinds reach the core, which then finds no shared random value.
    (lambda s: s.request(Text(ONION), Index(7), bytearray(b"GET")), RuntimeError, NO_SRV),
    (lambda s: s.request(ONION.upper(), 7, (True, 255), Index(2**63)), RuntimeError, NO_SRV),
    (lambda s: s.request(ONION, True, memoryview(b"GET")), RuntimeError, NO_SRV),
    (lambda s: s.request(onion=ONION, port=7, payload=range(3), response_limit=0), RuntimeError, NO_SRV),
    (lambda s: s.http_get(ONION, 8080, "index.html", 2**64 - 1), RuntimeError, NO_SRV),
    *[(lambda s, p=path: s.http_get(ONION, path=p), RuntimeError, NO_SRV) for path in ["/a b", "", "/é"]],
    # A control character in the path would change the request's framing: refused before any connection.
    *[(lambda s, p=path: s.http_get(ONION, path=p), RuntimeError, "HTTP path contains a control character")
      for path in ["/\r", "\n", "/\r\nX-Injected: 1", "/\0", "/a\tb", "/\x7f"]],
]


@pytest.mark.parametrize("call, kind, message", ERRORS)
def test_argument_rules(session, call, kind, message):
    with pytest.raises(BaseException) as caught:
        call(session)
    assert type(caught.value) is kind
    assert str(caught.value) == message


def test_interpreter_lock_is_released_while_a_session_is_created():
    with support.silent_endpoint() as endpoint, support.Ticker() as ticker:
        with pytest.raises(RuntimeError, match=r"^Resource temporarily unavailable \(os error 11\)$"):
            Session(bootstrap=endpoint, timeout_ms=1000)
    assert ticker.elapsed >= 0.9 and ticker.ticks >= 100


# Abstract methods on the class (set in a process of its own: it changes the class) make
# object's constructor refuse it, after the core session was made.
ABSTRACT = """
import asyncio, sys
sys.path.insert(0, sys.argv[2])
from support import malloc_heap as heap  # where the core keeps its sessions
from mistgrove import Session

def create():
    try:
        Session("127.0.0.1:1", sys.argv[1])
    except TypeError as e:
        return e

async def create_async():
    try:
        await Session.create_async("127.0.0.1:1", sys.argv[1])
    except TypeError as e:
        return e

start = heap()
kept = [Session("127.0.0.1:1", sys.argv[1]) for _ in range(50)]
fifty = heap() - start
Session.__abstractmethods__ = frozenset({"x"})
print(create())
print(asyncio.run(create_async()))
def growth():
    start = heap()
    for _ in range(500):
        create()
    return heap() - start

# What fifty sessions take: ten times less than a leak. A leak grows both rounds; Python's
# object allocator may take 128 KiB for good in one (see test_native_leaks.py).
print(min(growth(), growth()) < fifty)
"""


def test_an_abstract_class_is_refused_by_objects_constructor():
    blocking, background, released = subprocess.run(
        [sys.executable, "-c", ABSTRACT, support.CONSENSUS, os.path.dirname(__file__)],
        capture_output=True, text=True, timeout=60, check=True).stdout.splitlines()
    # The interpreter's own text, which 3.12 reworded.
    assert re.fullmatch(r"Can't instantiate abstract class builtins\.Session "
                        r"with(out an implementation for)? abstract method '?x'?", blocking)
    assert background == blocking
    assert released == "True" or support.SANITIZED


# Under an address-space limit, reading a huge consensus file makes the core
# throw std::bad_alloc: an internal fault, not an Error.
FAULT = """
import asyncio, os, resource, sys
from mistgrove import Session

async def create(*args):
    try:
        await Session.create_async(*args)
    except RuntimeError as e:
        return e

with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * 4096
# Room for what the failed read leaves in malloc's arena, so that the result still reaches
# the loop, and for the stacks of the threads the first asyncio call starts (one arena for
# all of them: MALLOC_ARENA_MAX=1).
room = (1 << 30) + (os.cpu_count() + 4) * (16 << 20)
resource.setrlimit(resource.RLIMIT_AS, (size + room, resource.RLIM_INFINITY))
print(asyncio.run(create("127.0.0.1:1", sys.argv[1])))  # the process's first asyncio call
try:
    Session("127.0.0.1:1", sys.argv[1])
except BaseException as e:
    print(type(e).__module__, type(e).__qualname__, isinstance(e, Exception), e, sep="|")
    first = type(e)
del sys.modules["mistgrove._native"]
from mistgrove._native import Session
try:
    Session("127.0.0.1:1", sys.argv[1])
except BaseException as e:
    print("the same class:", type(e) is first)
"""


@pytest.mark.skipif(support.SANITIZED,
                    reason="the address sanitizer reserves more than the limit allows")
def test_internal_faults(tmp_path):
    huge = tmp_path / "huge"
    huge.touch()
    os.truncate(huge, 16 << 30)  # sparse: no disk space used; larger than the room
    background, blocking, again = subprocess.run(
        [sys.executable, "-c", FAULT, str(huge)], capture_output=True, text=True, timeout=120,
        check=True, env={**os.environ, "MALLOC_ARENA_MAX": "1"}).stdout.splitlines()
    # The process's first asyncio call: its supervising task, awaiting task, core job and
    # delivery are tasks 1 to 4.
    assert background == 'async runtime task failed: task 3 panicked with message "std::bad_alloc"'
    # A BaseException, so that `except Exception` does not swallow it.
    assert blocking == "pyo3_runtime|PanicException|False|std::bad_alloc"
    assert again == "the same class: True"  # made once per process, not by each module object


# An otherwise unused user whose only threads are this process's: room for
# them and the executor's workers (one per processor), none for a pool thread.
NO_THREAD = """
import asyncio, os, resource, sys, time, weakref
import mistgrove._native as first
# A second module object, made while this user can still read the package: the
# other user may not enter the directory it lives in.
del sys.modules["mistgrove._native"]
import mistgrove._native as second
assert second is not first

# A user of its own: the thread limit counts every thread of the user, and a
# test run beside this one must not share them.
os.setuid(100000 + os.getpid())
limit = len(os.listdir("/proc/self/task")) + os.cpu_count()
resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))

async def call(module):
    future = module.Session.create_async("127.0.0.1:1", "/nonexistent")
    ref = weakref.ref(future)
    try:
        await future
    except Exception as e:
        print(type(e).__qualname__, e, sep="|")
        faults.append(type(e))
    del future
    return ref

faults = []
ref = asyncio.run(asyncio.wait_for(call(first), 10))
# The call lets go of its future: the delivering thread, once the loop has it.
ceiling = time.monotonic() + 30
while ref() is not None and time.monotonic() < ceiling:
    time.sleep(0.01)
print(ref() is None)
asyncio.run(asyncio.wait_for(call(second), 10))
print(faults[0] is faults[1])  # made once per process, not by each module object
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to become a user of its own")
def test_no_thread_for_the_blocking_pool():
    assert subprocess.run([sys.executable, "-c", NO_THREAD], capture_output=True, text=True,
                          timeout=60, check=True).stdout.splitlines() == [
        "BackgroundTaskFault|background task failed: OS can't spawn worker thread: "
        "Resource temporarily unavailable (os error 11)", "True",
        "BackgroundTaskFault|background task failed: OS can't spawn worker thread: "
        "Resource temporarily unavailable (os error 11)", "True"]
