"""The control: one talvenor control as a Python object, its table's methods and properties with
connection, events, readings, pictures and safety around them."""

import collections
import ctypes
import inspect

from ._abi import (KIND_EVENT, KIND_METHOD, KIND_PROPERTY, SECTION_AUDIO, SECTION_IMAGE, Event, tv_create,
                   tv_create_from_registry, tv_destroy, tv_host_attach, tv_lapped, tv_last_error, tv_luma,
                   tv_modified, tv_next_event, tv_queue_events, tv_record, tv_relay_state, tv_relay_state_name,
                   tv_commands_not_stored, tv_served_robots, tv_stop_motors, tv_use_event, tv_voice)
from ._aio import AsyncControl
from ._dispatch import Members
from ._errors import (ArgumentTypeError, ClosedError, ConnectError, NotConnectedError, TalvenorError,
                      checked_seconds)
from ._hosts import default_host
from ._members import BY_LOWER, EVENT_BY_DISPID, EVENTS, MEMBERS, SENSOR_EVENT_NAMES, find_event
from .readings import READING_CLASSES, CustomReading, MotorReading, StandardReading

try:  # numpy arrays when numpy is there; bytes otherwise
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the machine
    _np = None


def served_robots():
    """The robot names relays serve on this machine, sorted (names are case-sensitive)."""
    buffer = ctypes.create_string_buffer(1 << 16)
    tv_served_robots(buffer, len(buffer))
    return [name for name in buffer.value.decode(errors="replace").split("\n") if name]


def _takes_an_argument(handler):
    try:
        sig = inspect.signature(handler)
    except (TypeError, ValueError):
        return False
    positional = [p for p in sig.parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) and p.default is p.empty]
    return len(positional) >= 1 or any(p.kind == p.VAR_POSITIONAL for p in sig.parameters.values())


class Control(AsyncControl, Members):
    """One talvenor control.

    ``Control()`` creates it; ``Control("R1")`` also connects it to robot R1 (raising ConnectError when
    it cannot); ``Control("R1", wait=5)`` also waits up to 5 seconds for a relay that serves R1, and
    raises ConnectError naming the robots that relays do serve when none does (a name is at most 29
    bytes, and case counts); ``Control(progid=...)`` creates it through the per-user registry of
    control servers.
    With ``stop_motors_on_exit=True``, leaving a ``with`` block (an exception included) sends the stop
    commands for every DC motor and servo first."""

    def __init__(self, robot=None, progid=None, host=None, stop_motors_on_exit=False, wait=None):
        handle = ctypes.c_void_p()
        if progid is None:
            status = tv_create(ctypes.byref(handle))
        else:
            status = tv_create_from_registry(progid.encode(), ctypes.byref(handle))
        if status != 0:
            raise TalvenorError("creating the control", status)
        self._handle = handle.value
        self._connected = False
        self._handlers = {}
        self._picture = None
        self._voice = None
        tv_queue_events(self._handle, 1)
        self.host = host if host is not None else default_host()
        self.stop_motors_on_exit = stop_motors_on_exit
        tv_host_attach(self.host._handle, self._handle)
        self.host._controls.add(self)
        if robot is not None:
            self.connectRobot(robot)
            if wait is not None:
                self.wait_for_relay(wait)

    def _live(self):
        if not getattr(self, "_handle", None):
            raise ClosedError("the control is closed")
        return self._handle

    # -- connection -----------------------------------------------------------------------------
    def connectRobot(self, robotName: str) -> None:
        """connectRobot(robotName: str) -> None

        Opens the robot's sections under its name and starts polling them. Raises ConnectError
        naming the robot and the reason when the name cannot name the sections, or they belong to
        another user. Whether a relay serves the name is another matter: see relay_state()."""
        handle = self._live()
        try:
            super().connectRobot(robotName)
        except BaseException:
            self._connected = False
            raise
        reason = tv_last_error(handle)
        if reason:
            self._connected = False
            raise ConnectError(robotName, reason.decode(errors="replace").split(": ", 1)[-1])
        self._connected = True
        self._robot = robotName

    def wait_for_relay(self, timeout=5.0):
        """Waits (pumping) until a relay serves this control's robot name; raises ConnectError when
        none does within `timeout` seconds, naming the robots relays serve on this machine."""
        if self.host.run_until(lambda: self.relay_state() != "no-relay", checked_seconds("wait_for_relay()", timeout)):
            return
        robot = self._robot
        served = served_robots()
        alike = [name for name in served if name.lower() == robot.lower()]
        hint = ("; did you mean '%s'? (names are case-sensitive)" % alike[0]) if alike else ""
        listed = ", ".join("'%s'" % name for name in served) if served else "none"
        self.close()
        raise ConnectError(robot, "no relay serves this name%s; served on this machine: %s" % (hint, listed))

    def relay_state(self) -> str:
        """"no-relay" when no relay serves this robot name (or connectRobot was not called), "down"
        while a relay serves it but its link is being made, "not-answering" while its link is open and
        the robot does not answer (not yet, or not for the last two keep-alives: about 4 s), "up"
        while the robot answers. A relay of an older version, which publishes nothing, shows as
        "no-relay". Readings carry the moment they were taken (``reading.age()``): one that is old
        while the state is not "up" tells of a robot that went quiet."""
        return tv_relay_state_name(tv_relay_state(self._live())).decode()

    def lapped(self):
        """Records the relay overwrote before the control took them, per section, since connectRobot:
        a program that does not pump for a while (a section holds five records), or a stream faster
        than the ticks of a ticking host (one record per section every 30 ms), loses records; this
        counts them."""
        handle = self._live()
        return {name: tv_lapped(handle, k) for k, name in enumerate(("standard", "motor", "custom", "image", "voice"))}

    def commands_not_stored(self) -> int:
        """Commands that could not be put into the command section since connectRobot, because its
        relay did not read for a second while the ring was full: they never reach the robot."""
        return tv_commands_not_stored(self._live())

    # -- events ---------------------------------------------------------------------------------
    def on(self, event, handler):
        """Calls handler each time `event` fires ("StandardSensorEvent", "MotorSensorEvent",
        "CustomSensorEvent", "ImageEvent", "VoiceSegmentEvent"; any case). A handler that takes one
        argument is given what came: the reading, the picture, or the voice segment."""
        m = find_event(event)
        if not callable(handler):
            raise ArgumentTypeError("the handler must be callable")
        self._handlers.setdefault(m.dispid, []).append((handler, _takes_an_argument(handler)))
        return handler

    def off(self, event, handler=None):
        m = EVENTS.get(str(event).lower())
        if m is None:
            return
        if handler is None:
            self._handlers.pop(m.dispid, None)
        else:
            self._handlers[m.dispid] = [h for h in self._handlers.get(m.dispid, []) if h[0] is not handler]

    def _deliver(self):
        """Takes this control's kept events, oldest first, each with what came with it, and runs the
        waits and handlers of each."""
        event = Event()
        while getattr(self, "_handle", None) and tv_next_event(self._handle, ctypes.byref(event)):
            member = EVENT_BY_DISPID.get(event.dispid)
            name, section = (member.name, member.section) if member is not None else ("", -1)
            data = ctypes.string_at(event.data, event.size) if event.size else b""
            tv_use_event(self._handle, ctypes.byref(event))  # getters read this event's record
            if 0 <= section < len(READING_CLASSES):
                payload = READING_CLASSES[section].from_record(data, event.taken_at)
            elif section == SECTION_IMAGE:
                self._picture = data  # this control's own copy of the picture, taken at its event
                payload = self.image()
            elif section == SECTION_AUDIO:
                payload = _np.frombuffer(data, dtype="<i2") if _np is not None else data
            else:
                payload = None
            # Handlers first: one that raises keeps the event from the waits, which hear of the error.
            for handler, wants in list(self._handlers.get(event.dispid, ())):
                handler(payload) if wants else handler()
            for waiter in list(self.host._waiters):
                waiter(self, name, payload)

    def run(self, seconds):
        """Pumps this control's host for `seconds`; an exception from a handler comes out here, and so
        does KeyboardInterrupt within a few milliseconds of Ctrl-C."""
        self._live()
        self.host.run(seconds)

    def run_until(self, predicate, timeout=10.0):
        self._live()
        return self.host.run_until(predicate, timeout)

    def readings(self, timeout=None):
        """The sensor readings (standard, motor and custom) as they arrive, each once and in order:
        ``for reading in ctl.readings(): ...``. Waits for each on the robot's doorbells (nothing
        spins, Ctrl-C comes through at once); ends when no reading came for `timeout` seconds
        (never, by default). Handlers of other events run meanwhile."""
        limit = None if timeout is None else checked_seconds("readings()", timeout)
        self._live()
        items = collections.deque()

        def waiter(control, name, payload):
            if control is self and name in SENSOR_EVENT_NAMES:
                items.append(payload)

        self.host._waiters.append(waiter)
        try:
            while True:
                while items:
                    yield items.popleft()
                self._live()
                if not self.host.run_until(lambda: bool(items), 3600.0 if limit is None else limit) and limit is not None:
                    return
        finally:
            self.host._waiters.remove(waiter)

    # -- the table ------------------------------------------------------------------------------
    @staticmethod
    def dispid(name):
        """The DISPID of a method or property (case-insensitive)."""
        m = BY_LOWER.get(str(name).lower())
        if m is None:
            raise AttributeError("the control has no method or property '%s'" % name)
        return m.dispid

    @property
    def modified(self):
        return bool(tv_modified(self._live()))

    # -- readings and media ---------------------------------------------------------------------
    def _reading(self, cls):
        size = ctypes.c_size_t()
        p = tv_record(self._live(), READING_CLASSES.index(cls), ctypes.byref(size))
        if not p:
            return None
        return cls.from_record(ctypes.string_at(p, size.value))

    def standard(self):
        """The latest standard sensor record as a StandardReading, or None before the first."""
        return self._reading(StandardReading)

    def motor(self):
        """The latest motor sensor record as a MotorReading, or None before the first."""
        return self._reading(MotorReading)

    def custom(self):
        """The latest custom sensor record as a CustomReading, or None before the first."""
        return self._reading(CustomReading)

    def has_picture(self):
        """True once a picture came for this control (SavePhotoAsBMP saves black until then)."""
        self._live()
        return self._picture is not None

    def image(self):
        """This control's latest picture, 176 x 144 pixels of R G B, top row first: a read-only
        (144, 176, 3) uint8 numpy array when numpy is there (a view of this control's copy of the
        picture: ``image().copy()`` to change it), else 76032 bytes. Before a picture came, black."""
        self._live()
        data = self._picture if self._picture is not None else bytes(176 * 144 * 3)
        if _np is not None:
            return _np.frombuffer(data, dtype=_np.uint8).reshape(144, 176, 3)
        return data

    def image_luma(self):
        """The last frame's luminance plane: 25344 bytes, 176 x 144 grey values, top row first."""
        size = ctypes.c_size_t()
        p = tv_luma(self._live(), ctypes.byref(size))
        return ctypes.string_at(p, min(size.value, 176 * 144))

    def voice_segment(self):
        """A copy of the latest voice segment: 16-bit little-endian mono samples."""
        size = ctypes.c_size_t()
        p = tv_voice(self._live(), ctypes.byref(size))
        return ctypes.string_at(p, size.value) if size.value else b""

    def voice(self):
        """The latest voice segment: an int16 numpy array when numpy is there, else its bytes."""
        data = self.voice_segment()
        if _np is not None:
            return _np.frombuffer(data, dtype="<i2")
        return data

    # -- safety ---------------------------------------------------------------------------------
    def stop_motors(self):
        """Stops the robot: PWM 0 and velocity 0 on every DC motor channel (0..5), then every DC motor
        and servo (0..5) disabled. The web dashboard's Stop does the same."""
        if not self._connected:
            raise NotConnectedError("stop_motors(): call connectRobot first")
        tv_stop_motors(self._live())

    def close(self):
        """Destroys the control now (otherwise when it is garbage-collected). Safe from a handler."""
        if getattr(self, "_handle", None):
            tv_destroy(self._handle)
            self._handle = None

    def __del__(self):
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            if self.stop_motors_on_exit and getattr(self, "_handle", None):
                self.stop_motors()
        finally:
            self.close()

    def __dir__(self):
        return sorted(set(super().__dir__()) | {m.name for m in MEMBERS if m.kind != KIND_EVENT})

    def __getattr__(self, name):
        # Automation names are case-insensitive: ctl.getsensorsonar1() finds GetSensorSonar1.
        m = BY_LOWER.get(name.lower())
        if m is None or name.startswith("_"):
            raise AttributeError("the control has no method or property '%s'" % name)
        return getattr(self, m.name)

    def __setattr__(self, name, value):
        m = BY_LOWER.get(name.lower()) if not name.startswith("_") else None
        if m is not None and m.kind == KIND_PROPERTY and name != m.name:
            name = m.name
        if m is not None and m.kind == KIND_METHOD:
            raise AttributeError("%s is a method of the control, not a property" % m.name)
        object.__setattr__(self, name, value)
