"""lumo channels against lumo-sim: transfers sample by sample, refusals, failing callbacks, stops."""

import logging, os, signal, subprocess, sys, textwrap, threading

import numpy as np
import pytest

import lumo
from conftest import BOUND, expected_samples, expected_time, free_port, tool, wait_until

K = lumo.EventKind


class Host:
    """Accepts, transfers until a transfer is done, then sleeps; on_* hooks answer instead."""

    def __init__(self, on_measurement=None, on_handshake=None, on_action=None):
        self.kinds, self.measurements, self.seen, self.connections = [], [], 0, []
        self.done = threading.Event()
        self.on_measurement, self.on_handshake, self.on_action = on_measurement, on_handshake, on_action

    def __call__(self, event):
        self.kinds.append(event.kind)
        self.connections.append(event.connection)
        if event.kind == K.DEVICE_HANDSHAKE:
            return self.on_handshake(event) if self.on_handshake else True
        if event.kind == K.REQUEST_ACTION and self.on_action:
            return self.on_action(event)
        if event.kind == K.REQUEST_ACTION:
            return lumo.Action.SLEEP if self.done.is_set() else lumo.Action.DATA_TRANSFER
        if event.kind == K.MEASUREMENT:
            self.seen += 1
            answer = self.on_measurement(self.seen, event) if self.on_measurement else None
            if answer is None or answer is True:
                self.measurements.append(event.measurement)
            return answer
        if event.kind == K.TRANSFER_DONE:
            self.done.set()
        return None


def run(host, tmp_path, processes, sim_args, kind="tcp"):
    sim = tool("LUMO_SIM")
    if kind == "tcp":
        port = free_port()
        channel = lumo.tcp_channel(port, host)
        proc = processes([sim, "--tcp", f"127.0.0.1:{port}", *sim_args])
    else:
        link = tmp_path / "tty"
        proc = processes([sim, "--pty", "--link", str(link), *sim_args])
        assert wait_until(link.exists), "lumo-sim made no pseudo-terminal"
        channel = lumo.serial_channel(str(link), host)
    channels[:] = [channel]
    with channel:
        status = proc.wait(BOUND)
    assert not channel.running
    channel.stop()  # a second stop is harmless
    return status


channels = []


def check_measurements(host, stored, count):
    assert len(host.measurements) == stored
    for index, m in enumerate(host.measurements):
        assert (m.time, m.typeset, m.ns) == (expected_time(index, stored), index % 255 + 1, count)
        assert m.samples.dtype == np.uint16 and m.samples.flags.owndata
        np.testing.assert_array_equal(m.samples, expected_samples(index, count))


@pytest.mark.parametrize("kind", ["tcp", "pty"])
def test_transfer_checks_every_sample(kind, processes, tmp_path):
    host = Host()  # 255 blocks of 255 samples: the largest measurement the library takes
    assert run(host, tmp_path, processes, ["--measurements", "3", "--blocks", "255",
                                           "--samples-per-block", "255"], kind) == 0
    assert host.kinds[:4] + host.kinds[-1:] == [K.CHANNEL_STARTED, K.DEVICE_HANDSHAKE, K.DEVICE_ADDED,
                                                K.REQUEST_ACTION, K.CHANNEL_STOPPED]
    check_measurements(host, 3, 255 * 255)
    # One session, one connection; the channel's own events belong to none.
    assert host.connections[0] == host.connections[-1] == 0
    assert len(set(host.connections[1:-1])) == 1 and host.connections[1] > 0


def raise_error(index, event):
    raise RuntimeError(f"cannot keep measurement {index}")


@pytest.mark.parametrize("refusal", [lambda i, e: lumo.REFUSE, lambda i, e: False, raise_error],
                         ids=["REFUSE", "False", "raises"])
def test_refused_measurement_stays_in_the_device(refusal, processes, tmp_path, caplog):
    # The second measurement is refused once; the next transfer hands it over again.
    host = Host(on_measurement=lambda i, e: refusal(i, e) if i == 2 else None)
    run(host, tmp_path, processes, ["--measurements", "3"])
    assert K.ACTION_FAILED in host.kinds
    check_measurements(host, 3, 800)
    if refusal is raise_error:
        assert any(r.exc_info and "MEASUREMENT" in r.getMessage() for r in caplog.records)


IDLE = ["--idle-timeout", "1000"]  # nothing is written: the device gives up after 1 s


@pytest.mark.parametrize("hooks, sim_args, reached, message", [
    ({"on_handshake": lambda e: 1 / 0}, [], K.DEVICE_HANDSHAKE, "ZeroDivisionError"),
    ({"on_handshake": lambda e: "yes"}, [], K.DEVICE_HANDSHAKE, "(accept) or False (refuse), not str"),
    ({"on_handshake": lambda e: channels[0].stop()}, [], K.DEVICE_HANDSHAKE, "own on_event"),
    ({"on_action": lambda e: 1 / 0}, IDLE, K.REQUEST_ACTION, "ZeroDivisionError"),
    ({"on_action": lambda e: None}, IDLE, K.REQUEST_ACTION, ""),
    ({"on_action": lambda e: lumo.Action.SYNC}, IDLE, K.REQUEST_ACTION, ""),
    ({"on_action": lambda e: (lumo.Action.SYNC, b"short")}, IDLE, K.REQUEST_ACTION, ""),
], ids=["handshake raises", "handshake str", "handshake stops", "action raises", "action None",
        "SYNC without parameters", "short parameters"])
def test_unusable_answer_lets_the_device_go(hooks, sim_args, reached, message, processes, tmp_path,
                                            caplog):
    host = Host(**hooks)
    with caplog.at_level(logging.ERROR, logger="lumo"):
        run(host, tmp_path, processes, ["--handshake-timeout", "300", *sim_args])
    assert reached in host.kinds
    after = {K.DEVICE_ADDED} if reached == K.DEVICE_HANDSHAKE else set()
    assert not (after | {K.MEASUREMENT, K.SYNC_DONE, K.PARAMS_UPDATED, K.ACTION_FAILED}) & set(host.kinds)
    if message:
        assert [r for r in caplog.records if r.name == "lumo" and r.exc_info] and message in caplog.text


def test_stop_during_transfer(processes, tmp_path):
    arrived = threading.Event()
    host = Host(on_measurement=lambda i, e: arrived.set())
    port = free_port()
    processes([tool("LUMO_SIM"), "--tcp", f"127.0.0.1:{port}", "--measurements", "40", "--delay", "20"])
    with lumo.tcp_channel(port, host) as channel:
        assert arrived.wait(BOUND)
        stopper = threading.Thread(target=channel.stop)  # two stops at once
        stopper.start()
        channel.stop()
        stopper.join(BOUND)
        assert not stopper.is_alive() and not channel.running
        stopped_at = len(host.kinds)
    assert host.kinds[-1] == K.CHANNEL_STOPPED and len(host.kinds) == stopped_at
    assert 0 < len(host.measurements) < 40


HOST_SCRIPT = textwrap.dedent("""
    import sys, lumo
    def on_event(event):
        if event.kind == lumo.EventKind.CHANNEL_STOPPED:
            print("stopped", flush=True)
    channel = lumo.tcp_channel(int(sys.argv[1]), on_event)
    print("listening", flush=True)
    if sys.argv[2] == "with":
        with channel:
            lumo.wait_forever(0.05)
    else:
        sys.stdin.readline()   # ends without stopping: left to the exit hook
""")


@pytest.mark.parametrize("ending", ["with", "exit"])
def test_host_process_ends_cleanly(ending, processes):
    host = processes([sys.executable, "-c", HOST_SCRIPT, str(free_port()), ending],
                     stdin=subprocess.PIPE, env=dict(os.environ, QT_LOGGING_RULES="default.info=false"))
    assert host.stdout.readline().strip() == "listening"
    if ending == "with":
        host.send_signal(signal.SIGINT)
    out, err = host.communicate(input="\n", timeout=BOUND)
    assert out.strip() == "stopped"
    # An uncaught KeyboardInterrupt ends the interpreter by SIGINT.
    assert host.returncode == (0 if ending == "exit" else -signal.SIGINT), err
    assert ("KeyboardInterrupt" in err) == (ending == "with")
