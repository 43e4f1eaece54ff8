"""Exits with busy clients left open: 16 clients whose callbacks answer
every message of ynet-echod, and the interpreter leaving while they run.
Each run must end with status 0 (no crash, no hang).

    exit_check.py RUNS      (YNET_ECHOD names ynet-echod)
"""
import subprocess
import sys
import threading

if len(sys.argv) > 2 and sys.argv[1] == "--child":
    import ynet

    answered = threading.Semaphore(0)

    def answer(client, main_id, assistant_id, flags, body):
        client.send(main_id, assistant_id, body)
        answered.release()

    clients = [ynet.Client(answer) for _ in range(16)]
    for client in clients:
        client.connect(sys.argv[2])
        client.send(1, 0, b"x" * 100)
    for _ in range(64):  # traffic on every connection by now, most likely
        if not answered.acquire(timeout=10):
            sys.exit("no answer from the echo server")
    sys.exit(0)  # with every client still open and receiving

from test_ynet import EchoServer  # noqa: E402 (beside this file)

runs = int(sys.argv[1])
failures = {}
with EchoServer() as server:
    for _ in range(runs):
        child = subprocess.run([sys.executable, __file__, "--child", server.address], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True, timeout=60)
        if child.returncode != 0:
            failures[child.returncode] = failures.get(child.returncode, 0) + 1
            last = child.stderr
print(f"{runs} exits with 16 busy clients: {runs - sum(failures.values())} clean, "
      f"{sum(failures.values())} failed (exit status: count {failures})")
if failures:
    sys.exit(f"last failure's output: {last}")
