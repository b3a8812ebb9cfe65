"""Hosts: what delivers a control's records, events and messages on the thread that pumps it."""

import ctypes
import logging
import time
import weakref

from . import _clock
from ._abi import (tv_host_create, tv_host_destroy, tv_host_ms_until_due, tv_host_next_message,
                   tv_host_process_due, tv_host_queue_messages, tv_host_set_ticking, tv_host_wait)
from ._aio import AsyncHost
from ._errors import ArgumentTypeError, checked_seconds

_log = logging.getLogger("talvenor")


class Host(AsyncHost):
    """Delivers its controls' records on the calling thread when pumped (run, run_until, readings).

    The host waits on the doorbells of the robot's sections and takes every record the moment it
    arrives, in order, however fast the robot sends; ``Host(ticking=True)`` instead takes one
    record per section every 30 ms, as the windowed controls do. Controls join the module's default
    host unless given another. To fit into another event loop, call process_due() whenever
    ms_until_due() has passed, or use the asyncio waits of Control.

    The library keeps the events and messages it produces; the host hands them to handlers here, in
    Python, after each stretch in the library. No Python code runs inside the library, so Ctrl-C
    (KeyboardInterrupt) always reaches the caller, at once or within a stretch (at most a second)."""

    def __init__(self, ticking=False):
        self._handle = tv_host_create()
        self.ticking = bool(ticking)
        tv_host_set_ticking(self._handle, int(self.ticking))
        tv_host_queue_messages(self._handle, 1)
        self.messages = []
        self.on_message = None
        self._controls = weakref.WeakSet()
        self._pumps = {}  # asyncio loop -> scheduled pump handle
        self._waiters = []  # asyncio waits of this host's controls
        self._loop_controls = {}  # asyncio loop -> controls open on it (async with)

    def _deliver_messages(self):
        text = ctypes.c_char_p()
        while self._handle and tv_host_next_message(self._handle, ctypes.byref(text)):
            message = text.value.decode(errors="replace")
            self.messages.append(message)
            if self.on_message is not None:
                self.on_message(message)
            else:
                _log.warning("%s", message)

    def _deliver(self):
        """Hands what the library kept to Python: messages, then every control's events in order. A
        handler's exception comes out here, on the pumping thread; the events after it wait for the
        next delivery."""
        self._deliver_messages()
        for control in list(self._controls):
            control._deliver()

    def _wait(self, end):
        """One wait in C, until something arrives or is due, at most until `end` (time.monotonic()
        seconds) and at most a slice; False when `end` has passed."""
        left = end - time.monotonic()
        if left <= 0:
            return False
        # The library bounds the wait by its next timer and its quiet look, as for C programs.
        tv_host_wait(self._handle, max(1, min(2**31, int(left * 1000 / _clock.scale()))))
        self._deliver()
        return True

    def run(self, seconds):
        """Pumps for `seconds` (in the relay's time scale), firing events as records arrive. Ctrl-C
        (KeyboardInterrupt) comes through at once."""
        end = time.monotonic() + max(0.0, checked_seconds("run()", seconds)) * _clock.scale()
        while self._wait(end):
            pass

    def run_until(self, predicate, timeout):
        """Pumps until predicate() is true or `timeout` seconds have passed; returns predicate().
        The predicate is asked again after every record's events."""
        end = time.monotonic() + checked_seconds("run_until()", timeout) * _clock.scale()
        if not callable(predicate):
            raise ArgumentTypeError("run_until() takes a function that says when to stop, not %s"
                                    % type(predicate).__name__)
        while self._wait(end):
            if predicate():
                return True
        return bool(predicate())

    def process_due(self):
        ran = tv_host_process_due(self._handle)
        self._deliver()
        return ran

    def ms_until_due(self):
        return tv_host_ms_until_due(self._handle)

    def __del__(self):
        if getattr(self, "_handle", None):
            tv_host_destroy(self._handle)
            self._handle = None


_default_host = None


def default_host():
    global _default_host
    if _default_host is None:
        _default_host = Host()
    return _default_host


def run(seconds):
    """Pumps the default host for `seconds`."""
    default_host().run(seconds)
