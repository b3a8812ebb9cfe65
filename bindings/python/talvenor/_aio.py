"""asyncio for hosts and controls: a host's timers and doorbells kept running on a loop while one of
its controls is open there or awaited, and the waits and streams of a control on that loop."""

import asyncio
import collections
import weakref

from . import _clock
from ._abi import (tv_doorbells_free, tv_doorbells_wait, tv_host_arm, tv_host_ms_until_look,
                   tv_host_note_wait, tv_host_process_due)
from ._members import SENSOR_EVENT_NAMES, find_event


def _wait_armed(armed, ms):
    """The pump's wait, in the worker thread; the worker frees what it waited on, so nothing is left
    behind when the loop closes before the wait's callback runs. True when a doorbell rang."""
    try:
        return tv_doorbells_wait(armed, ms) == 1
    finally:
        tv_doorbells_free(armed)


class AsyncHost:
    """What a Host does on an asyncio loop."""

    def _pump_in(self, loop):
        """Keeps the timers running on an asyncio loop while a control of this host is open on it or a
        wait is pending: wakes when the next timer is due, never spins. What the handlers raise is
        kept by their control and raised where its program awaits it."""
        if loop in self._pumps:
            return

        def pump(waited=None):
            self._pumps.pop(loop, None)
            if not self._handle:
                return
            done = tv_host_process_due(self._handle)
            if waited is not None and not waited.cancelled() and waited.exception() is None:
                # How the wait ended tells the host how long its next quiet look may be.
                tv_host_note_wait(self._handle, int(waited.result()), done)
            self._deliver_messages()
            for control in list(self._controls):
                try:
                    control._deliver()
                except (KeyboardInterrupt, SystemExit):
                    raise
                except BaseException as error:  # noqa: BLE001 - handed to where the program awaits
                    control._fail(error)
            if not (self._waiters or self._loop_controls.get(loop)):
                return
            if self.ticking:
                wait = self.ms_until_due()
                delay = 0.03 if wait < 0 else wait / 1000.0
                self._pumps[loop] = loop.call_later(delay * _clock.scale(), pump)
                return
            # The doorbells are waited on in a worker thread, which only sleeps in the system: the
            # records are taken and every handler runs here, on the loop.
            look = tv_host_ms_until_look(self._handle)
            armed = tv_host_arm(self._handle)
            if not armed:
                self._pumps[loop] = loop.call_soon(pump)
                return
            try:
                ms = _clock.SLICE_MS if look < 0 else look
                future = loop.run_in_executor(None, _wait_armed, armed, ms)
            except RuntimeError:
                # The loop is ending (asyncio.run has shut its executor down while something still
                # waited on it): nothing is pumped on it any more.
                tv_doorbells_free(armed)
                return
            future.add_done_callback(pump)  # run on the loop, as every callback of its futures
            self._pumps[loop] = future

        self._pumps[loop] = loop.call_soon(pump)


class EventStream:
    """What events() hands out: an async iterator with a bounded queue of its own."""

    def __init__(self, control, names, maxsize):
        self._control, self._names, self._maxsize = control, names, max(1, int(maxsize))
        self._items = collections.deque()
        self._failure = None
        self._wake = None
        self.dropped = 0
        self._registered = False

    def _waiter(self, control, name, payload):
        if control is not self._control:
            return
        if name is None:
            self._failure = payload
        elif name in self._names:
            if len(self._items) >= self._maxsize:
                self._items.popleft()
                self.dropped += 1
            self._items.append(payload)
        else:
            return
        if self._wake is not None and not self._wake.done():
            self._wake.set_result(None)

    def __aiter__(self):
        return self

    async def __anext__(self):
        control = self._control
        if not self._registered:
            # The host holds the stream weakly: a stream its program let go of (``break`` out of
            # ``async for``) is closed at once, and the pump stops when nothing else waits.
            ref = weakref.ref(self)

            def waiter(control, name, payload):
                stream = ref()
                if stream is not None:
                    stream._waiter(control, name, payload)

            self._registration = waiter
            control.host._waiters.append(waiter)
            self._registered = True
        loop = asyncio.get_running_loop()
        control._raise_failure()
        while not self._items:
            if self._failure is not None:
                error, self._failure = self._failure, None
                control._failure = None
                self.close()
                raise error
            control._live()
            self._wake = loop.create_future()
            control.host._pump_in(loop)
            await self._wake
        return self._items.popleft()

    def close(self):
        if self._registered:
            self._control.host._waiters.remove(self._registration)
            self._registered = False

    async def aclose(self):
        """Stops the stream, as leaving its ``async for`` does."""
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - the host may be gone at interpreter exit
            pass


class AsyncControl:
    """What a Control does on an asyncio loop."""

    async def __aenter__(self):
        """``async with talvenor.Control("R1") as ctl:`` opens the control on the running loop: its
        records are delivered there (handlers run during any await, ``asyncio.sleep`` included) until
        the block ends. A handler's exception is raised where the program next awaits this control
        (wait_for, events, readings) or at the end of the block."""
        loop = asyncio.get_running_loop()
        self._live()
        self.host._loop_controls.setdefault(loop, set()).add(self)
        self._loop = loop
        self.host._pump_in(loop)
        return self

    async def __aexit__(self, *exc):
        users = self.host._loop_controls.get(getattr(self, "_loop", None))
        if users is not None:
            users.discard(self)
        try:
            if self.stop_motors_on_exit and getattr(self, "_handle", None):
                self.stop_motors()
        finally:
            self.close()
        if exc[0] is None:
            self._raise_failure()

    def _fail(self, error):
        """A handler raised while the records were delivered on a loop: the program hears of it where
        it awaits this control."""
        self._failure = error
        for waiter in list(self.host._waiters):
            waiter(self, None, error)

    def _raise_failure(self):
        error = getattr(self, "_failure", None)
        if error is not None:
            self._failure = None
            raise error

    async def wait_for(self, event, timeout=None):
        """Waits, inside an asyncio loop, for the next `event` of this control and returns what came
        with it (as a handler taking one argument gets it). The host's timers run on the loop
        meanwhile; nothing spins. A handler's exception is raised here."""
        m = find_event(event)
        self._live()
        self._raise_failure()
        loop = asyncio.get_running_loop()
        future = loop.create_future()

        def waiter(control, name, payload):
            if control is not self or future.done():
                return
            if name is None:
                future.set_exception(payload)
            elif name == m.name:
                future.set_result(payload)

        self.host._waiters.append(waiter)
        try:
            self.host._pump_in(loop)
            return await asyncio.wait_for(future, timeout)
        finally:
            self.host._waiters.remove(waiter)
            if future.done() and not future.cancelled() and future.exception() is not None:
                self._failure = None  # raised here already

    def events(self, event, maxsize=100):
        """An async iterator over what each `event` brings: ``async for reading in ctl.events(...)``.
        Every event from the moment it is made is kept for it, in order, while the consumer is busy;
        beyond `maxsize` kept events the oldest is dropped and counted in its ``dropped``."""
        m = find_event(event)
        self._live()
        return EventStream(self, (m.name,), maxsize)

    def areadings(self, maxsize=100):
        """readings() for asyncio: ``async for reading in ctl.areadings(): ...``, the doorbells
        waited on beside the loop. Beyond `maxsize` readings not yet consumed, the oldest is dropped
        and counted in the stream's ``dropped``."""
        self._live()
        return EventStream(self, SENSOR_EVENT_NAMES, maxsize)
