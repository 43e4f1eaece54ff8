"""Exits with busy clients left open: 16 clients whose callbacks answer
every message of ynet-echod, and the interpreter leaving while they run.
Each run must end with status 0 (no crash, no hang).

    exit_check.py RUNS [JOBS]      (YNET_ECHOD names ynet-echod)
"""
import concurrent.futures
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

runs, jobs = int(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 1


def run(address):
    return subprocess.run([sys.executable, __file__, "--child", address], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, timeout=60)


with EchoServer() as server, concurrent.futures.ThreadPoolExecutor(jobs) as pool:
    failed = [child for child in pool.map(run, [server.address] * runs) if child.returncode != 0]
statuses = sorted({child.returncode for child in failed})
print(f"{runs} exits with 16 busy clients left open: {runs - len(failed)} clean, {len(failed)} failed"
      + (f" (exit status {statuses}, the last one's output: {failed[-1].stderr})" if failed else ""))
sys.exit(1 if failed else 0)
