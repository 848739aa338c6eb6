#!/usr/bin/env python3
"""A host in a few lines: accept every device, transfer its measurements, send it to
sleep, save each measurement as OUT/<din>_<time>.npy. Ctrl-C stops it.

    python3 examples/collect.py [PORT] [OUT]
"""
import pathlib
import sys

import numpy as np

import lumo

port = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
out = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "measurements")
out.mkdir(parents=True, exist_ok=True)
transferred = set()  # DINs whose transfer completed


def on_event(event):
    if event.kind == lumo.EventKind.DEVICE_HANDSHAKE:
        transferred.discard(event.din)
        return True
    if event.kind == lumo.EventKind.REQUEST_ACTION:
        return lumo.Action.SLEEP if event.din in transferred else lumo.Action.DATA_TRANSFER
    if event.kind == lumo.EventKind.MEASUREMENT:
        m = event.measurement
        np.save(out / f"{event.din}_{m.time_packed:08x}.npy", m.samples)
        print(event.din, m.time, len(m.samples), "samples", flush=True)
    if event.kind == lumo.EventKind.TRANSFER_DONE:
        transferred.add(event.din)


lumo.set_library_logging(info=False)
with lumo.tcp_channel(port, on_event):
    print(f"listening on TCP port {port}, saving into {out}/", flush=True)
    lumo.wait_forever()
