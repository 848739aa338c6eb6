"""lumo: talk to measurement devices (data loggers) through liblumo, and read what
lumo-collect stored.

A host in a few lines::

    import lumo

    def on_event(event):
        if event.kind == lumo.EventKind.DEVICE_HANDSHAKE:
            return True                           # accept the device
        if event.kind == lumo.EventKind.REQUEST_ACTION:
            return lumo.Action.DATA_TRANSFER      # or SLEEP, CONTROL, (SYNC, params) ...
        if event.kind == lumo.EventKind.MEASUREMENT:
            keep(event.din, event.measurement.samples)   # a NumPy copy you may keep

    with lumo.tcp_channel(5000, on_event):
        lumo.wait_forever()                       # Ctrl-C stops the channel cleanly

on_event runs on the library's threads, one call at a time per channel, holding the
interpreter lock only while it runs. Its return value answers the device:

- DEVICE_HANDSHAKE: True accepts, False or None refuses.
- REQUEST_ACTION: a lumo.Action, or (lumo.Action.SYNC, lumo.DeviceParams(...)).
  None lets the device go (Action.EXIT: nothing is written to it).
- MEASUREMENT: None or True keeps it; lumo.REFUSE or False refuses it, the device keeps
  it for its next call and the transfer ends with ACTION_FAILED.

A callback that raises is logged with its traceback (logger "lumo") and the device gets
the default answer: refused at the handshake, let go when asked for an action, and a
measurement stays in the device. Never stop a channel from its own callback.

Channels stop on stop(), at the end of a with block (a KeyboardInterrupt included) and
at interpreter exit; stopping twice is harmless.
"""

import atexit as _atexit
import os as _os
import time as _time

from ._lumo import (
    REFUSE,
    Action,
    Channel,
    DeviceStatus,
    Event,
    EventKind,
    Measurement,
    set_library_logging,
    stop_all,
)
from ._lumo import _open_serial, _open_tcp, _stop_all_for_exit
from .params import DeviceParams
from .store import Store

__all__ = [
    "REFUSE", "Action", "Channel", "DeviceParams", "DeviceStatus", "Event", "EventKind",
    "Measurement", "Store", "serial_channel", "set_library_logging", "stop_all",
    "tcp_channel", "wait_forever",
]

_MAX_PORT = 65535


def _check_callback(on_event):
    if not callable(on_event):
        raise TypeError(f"on_event must be callable, got {type(on_event).__name__}")


def tcp_channel(port, on_event):
    """Listen for devices on a TCP port (all IPv4 addresses); returns the open Channel."""
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError(f"port must be an int, got {type(port).__name__}")
    if not 1 <= port <= _MAX_PORT:
        raise ValueError(f"port must be 1..{_MAX_PORT}, got {port}")
    _check_callback(on_event)
    try:
        return _open_tcp(port, on_event)
    except OSError as error:
        # The library refuses a port it cannot listen on (taken, not permitted).
        raise OSError(error.errno, f"cannot listen on TCP port {port}") from None


def serial_channel(path, on_event):
    """Talk to a device on a serial port: a device path, used as given (the library
    retries opening it every 2 s), or "auto" to find it by its USB serial number."""
    if not isinstance(path, (str, _os.PathLike)):
        raise TypeError(f"path must be a str or path, got {type(path).__name__}")
    path = _os.fspath(path)
    if not path or "\0" in path:
        raise ValueError(f"path must name a serial device or be 'auto', got {path!r}")
    _check_callback(on_event)
    return _open_serial("AUTO" if path.lower() == "auto" else path, on_event)


def wait_forever(interval=1.0):
    """Sleep until interrupted (Ctrl-C raises KeyboardInterrupt, which ends a with block
    and so stops its channels)."""
    while True:
        _time.sleep(interval)


# The library's threads must not call into an interpreter that is being torn down.
_atexit.register(_stop_all_for_exit)
