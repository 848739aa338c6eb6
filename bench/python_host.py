"""The benchmark's Python host: the same plan as the C++ bench host (accept, transfer
once, then sleep), timed the same way, from answering DATA_TRANSFER to TRANSFER_DONE.

    python_host.py PORT SAMPLES_PER_MEASUREMENT
Prints "listening", then, once a line arrives on stdin, "SECONDS MEASUREMENTS OK".
"""
import sys
import time

import lumo

port, expected = int(sys.argv[1]), int(sys.argv[2])
run = {"start": 0.0, "end": 0.0, "measurements": 0, "ok": True, "transferred": False}


def on_event(event):
    kind = event.kind
    if kind == lumo.EventKind.DEVICE_HANDSHAKE:
        return True
    if kind == lumo.EventKind.REQUEST_ACTION:
        if run["transferred"]:
            return lumo.Action.SLEEP
        run["transferred"] = True
        run["start"] = time.perf_counter()
        return lumo.Action.DATA_TRANSFER
    if kind == lumo.EventKind.MEASUREMENT:
        run["measurements"] += 1
        run["ok"] &= len(event.measurement.samples) == expected
    elif kind == lumo.EventKind.TRANSFER_DONE:
        run["end"] = time.perf_counter()
    elif kind == lumo.EventKind.ACTION_FAILED:
        run["ok"] = False
    return None


lumo.set_library_logging(info=False, debug=False)
with lumo.tcp_channel(port, on_event):
    print("listening", flush=True)
    sys.stdin.readline()
print(f"{run['end'] - run['start']:.6f} {run['measurements']} {int(run['ok'] and run['end'] > 0)}",
      flush=True)
