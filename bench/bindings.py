"""Messages per second one-way through the bindings, beside the C path.

Every contender is a process of its own that connects to one server
(CInterfaceBench serve: COUNT messages of SIZE bytes per connection, one
after another), receives them all, sums every body byte, and prints its
seconds from connect to the last message and the sum, which is checked.
The contenders take turns, the order rotating from one round to the next;
each round gives each one's rate and its ratio to the C path's.

    bench/bindings.py BUILD_DIR [--rounds N] [--count N] [--size N] [--csharp BindingsOneWay.exe]

BUILD_DIR is a native build with -DYNET_BUILD_BENCH=ON; the module comes
from python/ with that build's library (YNET_LIBRARY), the C# one from the
given program, run with mono.
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time


def receive(mode, port, count):
    """A Python contender: prints "SECONDS SUM"."""
    import ynet

    address, got, total = f"127.0.0.1:{port}", 0, 0
    start = time.perf_counter()
    if mode == "callback":
        done = threading.Event()

        def on_message(_client, _main, _assistant, _flags, body):
            nonlocal got, total
            total += sum(body)
            got += 1
            if got == count:
                done.set()

        with ynet.Client(on_message) as client:
            client.connect(address)
            done.wait(300)
            seconds = time.perf_counter() - start
    elif mode == "recv":
        with ynet.Client() as client:
            client.connect(address)
            while got < count:
                message = client.recv(300)
                if message is None:
                    break
                total += sum(message.body)
                got += 1
            seconds = time.perf_counter() - start
    else:
        import asyncio

        async def main():
            nonlocal got, total
            async with ynet.connect(address) as conn:
                async for message in conn:
                    total += sum(message.body)
                    got += 1
                    if got == count:
                        break
            return time.perf_counter() - start

        seconds = asyncio.run(main())
    print(f"{seconds if got == count else -1:.6f} {total}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--count", type=int, default=300000)
    parser.add_argument("--size", type=int, default=100)
    parser.add_argument("--csharp")
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    bench = os.path.join(args.build, "bench", "CInterfaceBench")
    env = dict(os.environ, YNET_LIBRARY=os.path.join(args.build, "libYonderNetC.so"),
               PYTHONPATH=os.path.join(here, "..", "python"), LD_LIBRARY_PATH=args.build)
    server = subprocess.Popen([bench, "serve", str(args.size), str(args.count)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    words = server.stdout.readline().split()
    port, count, bodysum = words[1], int(words[3]), int(words[5])
    contenders = {"C (ynet.h)": [bench, "receive", port, str(count)]}
    for mode in ("callback", "recv", "asyncio"):
        contenders[f"Python {mode}"] = [sys.executable, __file__, "--receive", mode, port, str(count)]
    if args.csharp:
        for mode in ("events", "receive"):
            contenders[f"C# {mode}"] = ["mono", args.csharp, mode, port, str(count)]
    names = list(contenders)
    rates = {name: [] for name in names}
    ratios = {name: [] for name in names[1:]}
    try:
        for round_ in range(args.rounds):
            order = names[round_ % len(names):] + names[:round_ % len(names)]
            if round_ % 2:
                order.reverse()
            seconds = {}
            for name in order:
                out = subprocess.run(contenders[name], env=env, capture_output=True, text=True, timeout=600)
                took, total = out.stdout.split() if out.returncode == 0 else ("-1", "0")
                if float(took) <= 0 or int(total) != bodysum * count:
                    sys.exit(f"{name} failed: {out.stdout} {out.stderr}")
                seconds[name] = float(took)
                rates[name].append(count / seconds[name])
            for name in names[1:]:
                ratios[name].append(seconds[names[0]] / seconds[name])
    finally:
        server.stdin.close()
        server.wait(60)
    print(f"one-way, {args.size}-byte messages, {count} per contender and round, {args.rounds} rounds")
    for name in names:
        line = f"    {name:18} median {statistics.median(rates[name]) / 1e3:9.1f} k msg/s" \
               f" ({1e6 / statistics.median(rates[name]):.2f} us a message)"
        if name in ratios:
            spread = sorted(ratios[name])
            line += f"; of C: min {spread[0]:.4f} median {statistics.median(spread):.4f} max {spread[-1]:.4f}"
        print(line)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--receive":
        receive(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
