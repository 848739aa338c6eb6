"""A TCP proxy on loopback that can freeze: SIGUSR1 stops forwarding in both directions
(connections stay open, bytes wait unread, as on a path that went silent), SIGUSR2
forwards again. Prints its port, then runs until SIGTERM.
Usage: freeze_proxy.py TARGET_PORT"""
import select
import signal
import socket
import sys
import threading
import time

frozen = threading.Event()
signal.signal(signal.SIGUSR1, lambda *_: frozen.set())
signal.signal(signal.SIGUSR2, lambda *_: frozen.clear())
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))


def pump(a, b):
    pairs = {a: b, b: a}
    try:
        while True:
            if frozen.is_set():
                time.sleep(0.05)
                continue
            ready, _, _ = select.select(list(pairs), [], [], 0.05)
            for s in ready:
                if frozen.is_set():
                    break
                data = s.recv(65536)
                if not data:
                    return
                pairs[s].sendall(data)
    except OSError:
        pass
    finally:
        a.close()
        b.close()


def main():
    target = int(sys.argv[1])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        server = socket.create_connection(("127.0.0.1", target))
        threading.Thread(target=pump, args=(client, server), daemon=True).start()


main()
