"""Tool paths from CTest, processes killed when a test ends, lumo-sim's waveform recomputed."""

import datetime, math, os, socket, subprocess, time

import numpy as np
import pytest

import lumo

BOUND = 60  # seconds; generous for a loaded 2-core machine
FIRST_DIN = 123456001


def tool(name):
    path = os.environ.get(name)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{name} is not set to an executable (the tests run from CTest)")
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def din_text(din):
    return "{0}{1}{2}-{3}{4}{5}-{6}{7}{8}".format(*f"{din:09d}")


def expected_samples(index, count, seed=FIRST_DIN):
    """lumo-sim's measurement `index`: a sine for even, a ramp for odd indices."""
    i = np.arange(count, dtype=np.int64)
    if index % 2:
        return ((seed + 1000 * index + i) % 65536).astype(np.uint16)
    table = np.array([32768 + math.floor(16000 * math.sin(2 * math.pi * k / 64) + 0.5)
                      for k in range(64)], dtype=np.int64)
    return table[(i + (seed + index) % 64) % 64].astype(np.uint16)


def expected_time(index, stored):
    """Ten minutes apart, the last ten minutes before lumo-sim's clock 2024-05-17 13:45:30."""
    return datetime.datetime(2024, 5, 17, 13, 45, 30) - datetime.timedelta(minutes=10 * (stored - index))


@pytest.fixture
def processes():
    """Starts processes, kills those still running when the test ends; the library kept quiet."""
    lumo.set_library_logging(info=False, debug=False)
    started = []

    def start(args, **kwargs):
        started.append(subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, **kwargs))
        return started[-1]

    yield start
    for p in started:
        if p.poll() is None:
            p.kill()
        p.communicate()
    lumo.set_library_logging(info=True, debug=False)




def wait_until(condition, bound=BOUND):
    deadline = time.monotonic() + bound
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()
