"""The ynet module against a real ynet-echod (YNET_ECHOD names it) and
microsocks (YNET_MICROSOCKS_PORT, from scripts/proxies.sh)."""
import asyncio
import concurrent.futures
import contextlib
import faulthandler
import functools
import gc
import importlib.metadata
import os
import random
import socket
import subprocess
import sys
import threading
import time
import unittest

import ynet
from ynet import _client


class EchoServer:
    def __enter__(self):
        self.process = subprocess.Popen([os.environ["YNET_ECHOD"], "--quiet", "--stdin-stop"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline().split()[1])
        self.address = f"127.0.0.1:{self.port}"
        return self

    def __exit__(self, *_):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()


def wait_until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Recorder:
    """What the callbacks saw; done is set when the receive thread ends."""

    def __init__(self, raise_on=None):
        self.messages, self.events, self.refusal = [], [], None
        self.raise_on, self.done = raise_on, threading.Event()

    def message(self, client, main_id, assistant_id, flags, body):
        self.messages.append((main_id, assistant_id, flags, body))
        if len(self.messages) == 1 and self.raise_on is None:
            time.sleep(0.2)  # a handler that takes its time holds up only its own connection
        if len(self.messages) == self.raise_on:
            try:
                client.close()  # refused on the receive thread
            except ynet.YNetError as error:
                self.refusal = error
            raise RuntimeError("handler failed")
        return len(self.messages) == 3

    def event(self, _client, what):
        self.events.append(what)
        if what == "thread ended":
            self.done.set()


class CallbackTest(unittest.TestCase):
    def exchange(self, recorder, bodies):
        with EchoServer() as server, ynet.Client(recorder.message, recorder.event) as client:
            client.connect(server.address)
            for i, body in enumerate(bodies):
                client.send(7, i, body, ynet.REQUEST | ynet.ORDINAL)
            self.assertTrue(recorder.done.wait(10), "the receive thread did not end")
            self.assertFalse(client.connected)
        self.assertFalse(client.connected)  # closed: False, not an error
        return client

    def test_echo_exchange_ends_with_the_callback_that_cuts(self):
        recorder = Recorder()
        bodies = [b"", b"hello from Python", bytes(range(256)) * 5]
        self.exchange(recorder, bodies)
        self.assertEqual(recorder.messages, [(7, i, ynet.REQUEST | ynet.ORDINAL, b) for i, b in enumerate(bodies)])
        self.assertCountEqual(recorder.events, ["connected", "thread started", "cut", "thread ended"])
        self.assertEqual(recorder.events[-2:], ["cut", "thread ended"])

    def test_callback_that_raises_cuts_and_is_kept(self):
        recorder = Recorder(raise_on=1)
        client = self.exchange(recorder, [b"one"])  # the thread ends only when the raise cuts
        self.assertIsInstance(client.callback_error, RuntimeError)
        self.assertEqual(recorder.refusal.code, ynet.E_STATE)
        self.assertIn("ynet_client_destroy", recorder.refusal.text)
        self.assertIn("cut", recorder.events)

    def test_disconnect_reconnect_and_wait_release(self):
        events = []

        def event(client, what):
            events.append(what)
            if what == "connected":  # inside connect, on its thread: a close there would wait for that connect
                self.assertRaises(ynet.YNetError, client.close)

        with EchoServer() as server, ynet.Client(on_event=event) as client:
            client.connect(server.address, timeout=5)
            self.assertIsNone(client.callback_error)  # the close was refused, and the client is whole
            client.reconnect()  # the receive thread carries on with the new connection
            client.send(1, 1, b"first")
            self.assertEqual(client.recv(10), ynet.Message(1, 1, ynet.REQUEST, b"first"))
            client.disconnect()
            self.assertFalse(client.connected)
            self.assertIsNone(client.recv(10))  # the disconnect cut: the receive thread ended
            with self.assertRaises(ynet.YNetError) as refused:
                client.reconnect()  # after the cut nobody would read it
            self.assertEqual(refused.exception.code, ynet.E_STATE)
            client.wait_release()
            self.assertFalse(client.connected)
            self.assertIsNone(client.recv(10))  # the receive thread ended
            client.connect(server.address)  # a new receive thread: recv waits for its messages again
            client.send(1, 2, b"second")
            self.assertEqual(client.recv(10), ynet.Message(1, 2, ynet.REQUEST, b"second"))
        self.assertEqual(events[0], "connected")

    def test_calls_that_wait_raise_from_connected(self):
        refusals = []

        def connected(client, what):
            if what == "connected":  # its receive thread waits for this callback
                for call in (client.close, client.wait_release, client.reconnect, lambda: client.connect(address)):
                    try:
                        call()
                    except ynet.YNetError as error:
                        refusals.append(error.code)

        with EchoServer() as server:
            address, client = server.address, ynet.Client(on_event=connected)
            connecting = threading.Thread(target=client.connect, args=(address,), daemon=True)
            connecting.start()
            connecting.join(10)
            self.assertFalse(connecting.is_alive(), "a call from the connected event hung")
            with client:
                self.assertEqual(refusals, [ynet.E_STATE] * 4)
                client.send(1, 2, b"still queued")
                self.assertEqual(client.recv(10), ynet.Message(1, 2, ynet.REQUEST, b"still queued"))


class BlockingTest(unittest.TestCase):
    def test_recv_in_order_with_timeout_and_end(self):
        with EchoServer() as server, ynet.Client() as client:
            client.connect(server.address)
            with self.assertRaises(TimeoutError):
                client.recv(timeout=0.05)
            for i in range(3):
                client.send(2, i, bytearray(b"body %d" % i))
            self.assertEqual([client.recv(timeout=10) for _ in range(3)],
                             [ynet.Message(2, i, ynet.REQUEST, b"body %d" % i) for i in range(3)])
            client.release()
            self.assertEqual([client.recv(timeout=10), client.recv(timeout=10)], [None, None])  # it ended

    def test_a_full_queue_holds_the_receive_thread_and_close_frees_it(self):
        with EchoServer() as server:
            for take in (True, False):
                with ynet.Client(queue_size=2) as client:
                    client.connect(server.address)
                    for i in range(50):
                        client.send(1, i, b"x" * 1000)
                    self.assertTrue(wait_until(lambda: len(client._core.inbox._items) == 2))
                    time.sleep(0.1)  # the echoes are here by now: still 2 taken off the socket
                    self.assertEqual(len(client._core.inbox._items), 2)
                    if take:
                        self.assertEqual([client.recv(10).assistant_id for _ in range(50)], list(range(50)))
                # else: close while the receive thread waits for room


class AsyncioTest(unittest.TestCase):
    def test_async_with_send_and_iterate(self):
        async def run(address):
            got = []
            async with ynet.connect(address) as conn:
                for i in range(3):
                    await conn.send(3, i, b"async %d" % i)
                async for message in conn:
                    got.append(message)
                    if len(got) == 3:
                        break
            self.assertFalse(conn.connected)
            return got

        with EchoServer() as server:
            got = asyncio.run(run(server.address))
        self.assertEqual(got, [ynet.Message(3, i, ynet.REQUEST, b"async %d" % i) for i in range(3)])

    def test_connect_is_a_coroutine_and_concurrent_recvs_each_get_a_message(self):
        async def run(address):
            async with asyncio.TaskGroup() as group:  # wants a coroutine
                opening = group.create_task(ynet.connect(address))
            async with opening.result() as conn:
                receivers = [asyncio.create_task(conn.recv()) for _ in range(10)]
                await asyncio.sleep(0)  # one turn of the loop: all ten are asleep
                for i in range(10):
                    await conn.send(5, i, b"to one of ten")
                got = await asyncio.wait_for(asyncio.gather(*receivers), 10)
            return sorted(message.assistant_id for message in got)

        with EchoServer() as server:
            self.assertEqual(asyncio.run(run(server.address)), list(range(10)))

    def test_a_cancelled_connect_without_a_bound_ends_at_once(self):
        async def run(silent):
            with self.assertRaises(TimeoutError):
                async with asyncio.timeout(0.2):
                    await ynet.connect("127.0.0.1:9", proxy=silent, timeout=None)

        with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts, never answers
            runner = threading.Thread(target=asyncio.run, args=(run("127.0.0.1:%d" % silent.getsockname()[1]),))
            runner.start()
            runner.join(10)  # asyncio.run waits for the executor's thread
            self.assertFalse(runner.is_alive(), "asyncio.run still waits for the cancelled connect")

    def test_cancellation_closes_the_client(self):
        async def hold(address, opened):
            async with ynet.connect(address) as conn:
                opened.set_result(conn)
                async for _ in conn:
                    pass

        async def run(address, silent):
            opened = asyncio.get_running_loop().create_future()
            task = asyncio.create_task(hold(address, opened))
            conn = await opened
            task.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await task
            self.assertIsNone(conn.client._core.handle)
            # A connect cancelled while it waits for the proxy's answer.
            with self.assertRaises(asyncio.TimeoutError):
                await asyncio.wait_for(ynet.connect(address, proxy=silent, timeout=1), 0.1)

        with EchoServer() as server, socket.create_server(("127.0.0.1", 0)) as silent:
            before = len(_client._cores)
            asyncio.run(run(server.address, "127.0.0.1:%d" % silent.getsockname()[1]))
            self.assertTrue(wait_until(lambda: len(_client._cores) == before), "a cancelled connect left a client")


class LifetimeAndErrorsTest(unittest.TestCase):
    def test_dropped_clients_are_destroyed(self):
        before = len(_client._cores)
        with EchoServer() as server:
            client = ynet.Client(lambda *_: 0)
            client.connect(server.address)
            del client
            gc.collect()
            self.assertEqual(len(_client._cores), before)
            # Dropped on its own receive thread: cut there, destroyed by the next owner-side call.
            go = threading.Event()
            holder = [ynet.Client(lambda *_: go.wait(10) and holder.clear())]
            holder[0].connect(server.address)
            holder[0].send(1, 1)
            go.set()  # the last reference goes on the receive thread
            self.assertTrue(wait_until(lambda: not holder and _client._deferred))
            ynet.Client().close()
            self.assertEqual((len(_client._cores), _client._deferred), (before, []))

    def test_errors_carry_the_library_code_and_text(self):
        with EchoServer() as server, ynet.Client(lambda *_: 0) as client:
            for call, code, text in [
                    (lambda: client.send(64, 0, b"x"), ynet.E_ARG, "ynet_client_send: main ID 64"),
                    (lambda: client.send(1, 0, b"x" * 1437), ynet.E_ARG, "ynet_client_send: body length 1437"),
                    (lambda: client.send(1, 0, b"x"), ynet.E_FAIL, "ynet_client_send: the connection is closed"),
                    (lambda: client.connect("localhost:0"), ynet.E_ARG, "ynet_client_connect_url: "),
                    (lambda: client.connect("localhost:7", "127.0.0.1:1"), ynet.E_ARG,
                     "ynet_client_connect: the server is not"),
                    (lambda: client.connect(server.address, "socks5://u:p@127.0.0.1:1", user="u"), ynet.E_ARG,
                     "connect: with a proxy URL"),
                    (lambda: ynet.pack_head(1441, 1, 0), ynet.E_ARG, "ynet_head_pack: size 1441"),
                    (lambda: client.set_keepalive(1, 1, 128), ynet.E_ARG, "ynet_client_set_keepalive: 1000 ms idle"),
                    (lambda: client.set_keepalive(1, 0.0004), ynet.E_ARG,
                     "ynet_client_set_keepalive: 1000 ms idle, 0 ms between"),
                    # C strings end at a NUL: refused before anything is sent
                    (lambda: client.connect(server.address + "\x00junk"), ynet.E_ARG, "connect: the server holds"),
                    (lambda: client.connect(server.address, proxy="127.0.0.1:1\x00"), ynet.E_ARG,
                     "connect: the proxy holds"),
                    (lambda: client.connect(server.address, "127.0.0.1:1", user="u\x00"), ynet.E_ARG,
                     "connect: the user holds"),
                    (lambda: client.connect(server.address, "127.0.0.1:1", user="u", password="\x00"), ynet.E_ARG,
                     "connect: the password holds")]:
                with self.assertRaises(ynet.YNetError) as caught:
                    call()
                self.assertEqual((caught.exception.code, caught.exception.text[:len(text)]), (code, text))
                self.assertFalse(client.connected)
            client.connect(server.address)
            with self.assertRaises(ynet.YNetError) as caught:  # it would replace the connection
                client.connect(server.address)
            self.assertEqual((caught.exception.code, caught.exception.text),
                             (ynet.E_STATE, "connect: already connected: release() or wait_release() first"))
            self.assertTrue(client.connected)
            client.close()
            with self.assertRaises(ynet.YNetError) as caught:
                client.send(1, 0)
            self.assertEqual((caught.exception.code, caught.exception.text),
                             (ynet.E_STATE, "send: the client is closed"))

    def test_calls_racing_close_end_and_then_refuse(self):
        # connect (to ynet-echod, or a proxy that never answers) / send / release / close from threads in random
        # order: every call returns (a hung one prints every stack and ends the run), none meets a freed client.
        seed = int(os.environ.get("YNET_RACE_SEED", "1789"))
        rng, problems = random.Random(seed), []
        faulthandler.enable()  # the stacks of a crash

        def call(function, *args):
            try:
                function(*args)
            except BaseException as error:  # noted, so that every round runs
                if getattr(error, "code", None) not in (ynet.E_STATE, ynet.E_FAIL):
                    problems.append(repr(error))

        def close(client):
            client.close()
            with self.assertRaises(ynet.YNetError) as refused:
                client.release()
            self.assertEqual((refused.exception.code, client.connected), (ynet.E_STATE, False))

        def owner(client, via):  # its close comes as soon as a release has ended its connect
            call(client.connect, server.address, via)
            call(close, client)

        with EchoServer() as server, socket.create_server(("127.0.0.1", 0)) as silent:
            via = [None, "socks5://127.0.0.1:%d" % silent.getsockname()[1]]
            for _ in range(300):
                faulthandler.dump_traceback_later(30, exit=True)
                client = ynet.Client(lambda c, m, a, *_: call(c.release) if rng.random() < 0.2 else call(c.send, m, a))
                works = [(0.002, owner, client, rng.choice(via)), (0.004, client.release), (0.004, client.release)]
                works += [(0.004, client.send, 1, i) for i in range(3)]
                threads = [threading.Timer(rng.uniform(0, delay), call, work) for delay, *work in works]
                for thread in threads:
                    thread.start()
                time.sleep(rng.uniform(0, 0.006))  # not a wait: where this thread's close falls among the rest
                call(close, client)
                for thread in threads:
                    thread.join()
                faulthandler.cancel_dump_traceback_later()
        self.assertEqual(sorted(set(problems)), [], f"seed {seed}")

    def test_helpers_proxy_and_log_sink(self):
        head = ynet.pack_head(7, 1, 2, ynet.REQUEST)
        self.assertEqual(head + ynet.encode(b"abc"), bytes.fromhex("07000502 61AB6B"))
        self.assertEqual(ynet.unpack_head(head), (7, 1, 2, ynet.REQUEST))
        self.assertEqual(ynet.unpack_head(head).assistant_id, 2)
        self.assertTrue({"connect", "Connection"} <= set(dir(ynet)))  # what help(ynet) lists
        try:
            self.assertEqual(ynet.__version__, importlib.metadata.version("ynet"))  # the wheel's is the library's
        except importlib.metadata.PackageNotFoundError:
            pass  # run from the source tree: no wheel
        self.assertEqual(ynet.decode(ynet.encode(b"round trip")), b"round trip")
        self.assertEqual(ynet.version() >> 16, 1)
        lines = []
        ynet.set_log_sink(lines.append)
        try:
            with EchoServer() as server:
                env = os.environ
                for target, proxy in [
                        (server.address, "127.0.0.1:" + env["YNET_MICROSOCKS_PORT"]),
                        (f"localhost:{server.port}", "socks5h://127.0.0.1:" + env["YNET_MICROSOCKS_PORT"]),
                        (f"localhost:{server.port}", None),
                        (f"localhost:{server.port}", "http://{}:{}@127.0.0.1:{}".format(
                            env["YNET_TINYPROXY_USER"], env["YNET_TINYPROXY_PASSWORD"], env["YNET_TINYPROXY_AUTH_PORT"]))]:
                    with ynet.Client() as client:
                        client.set_nodelay(proxy is None)  # either way the same bytes arrive
                        client.set_keepalive(1, 1, 2)
                        client.connect(target, proxy, timeout=10)
                        client.send(4, 4, b"through " + str(proxy).encode())
                        message = client.recv(10)
                        self.assertEqual(message and message.body, b"through " + str(proxy).encode())
                with socket.create_server(("127.0.0.1", 0)) as closed:
                    port = closed.getsockname()[1]
                with self.assertRaises(ynet.YNetError), ynet.Client() as client:
                    client.connect("127.0.0.1:%d" % port)
        finally:
            ynet.set_log_sink(None)
        self.assertTrue(any("TCPClient::Init()" in line for line in lines), lines)


class SeededCallsTest(unittest.TestCase):
    """Threads and the client's own callbacks make random calls on one client at once: connect (to ynet-echod or to a
    refused port), send, release, wait_release, close. Each call returns, or raises a code it may raise then; every
    echo comes back whole, each sender's in order and once. YNET_BINDING_SEED=N replays the rounds of seed N."""
    OPS, WEIGHTS = ["connect", "refused", "send", "release", "wait_release", "close", "echo"], [3, 1, 6, 1, 1, 0.25, 6]
    FAIL, WAITS = {"connect", "refused", "send"}, {"connect", "refused", "wait_release", "close"}

    @staticmethod
    def body(sender, seq):  # of 1 to 1436 bytes
        head = b"%d:%d:" % (sender, seq)
        return head + bytes((seq * 31 + i) & 255 for i in range((seq * 7919 + sender * 104729) % (1437 - len(head))))

    def test_seeded_calls_from_threads_and_callbacks(self):
        seeds = [int(os.environ["YNET_BINDING_SEED"])] if os.environ.get("YNET_BINDING_SEED") else [1, 2, 3]
        tasks = lambda: len(os.listdir("/proc/self/task"))  # noqa: E731 (the library's threads as well)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            refused = "127.0.0.1:%d" % taken.getsockname()[1]
        ynet.set_log_sink(lambda line: None)  # the refused connects' lines
        self.addCleanup(ynet.set_log_sink, None)
        with EchoServer() as server:
            with ynet.Client() as client:  # the first connect starts what the library keeps for the process
                client.connect(server.address)
            before = tasks(), threading.active_count(), len(_client._cores)
            for seed, number in [(seed, number) for seed in seeds for number in range(5)]:
                with self.subTest(seed=seed, round=number):
                    self.round(f"seed {seed} round {number}", random.Random(f"{seed}/{number}"), server, refused)
            # while the server runs, so that a connection left open holds its receive thread
            gone = wait_until(lambda: tasks() <= before[0], 5)
            self.assertTrue(gone, f"seeds {seeds}: threads {before[0]} -> {tasks()}")
            self.assertEqual((threading.active_count(), len(_client._cores)), before[1:], f"seeds {seeds}")

    def round(self, name, rng, server, refused):
        problems, last, seqs, owner = [], {}, [0] * 10, threading.Lock()
        got, echoed = threading.Event(), threading.Event()
        state = {"storm": True, "closing": False, "closed": False}
        calls = {"connect": lambda: client.connect(server.address, timeout=5),
                 "refused": lambda: client.connect(refused), "send": lambda: client.send(1, 0),
                 "release": lambda: client.release(),
                 "wait_release": lambda: client.wait_release(), "close": lambda: client.close()}

        def outcome(op, function, inside=False):
            done, error, closing = state["closed"], None, op == "close" and not inside
            state["closing"] |= closing
            try:
                function()
            except ynet.YNetError as caught:
                error = caught
            state["closed"] |= closing
            code, text = (error.code, error.text) if error else (0, "")
            if done:  # begun once close() had returned: the closed error
                right = op == "close" if not error else (code, text) == (
                    ynet.E_STATE, op.replace("refused", "connect") + ": the client is closed")
            elif inside and op in self.WAITS:  # would wait for the thread it runs on
                right = code == ynet.E_STATE
            else:
                right = not code or code == ynet.E_FAIL and op in self.FAIL or code == ynet.E_STATE and (
                    state["closing"] or op in ("connect", "refused") and "already connected" in text)
            if not right:
                problems.append(f"{op}{' in a callback' * inside}: " + (f"{code} {text}" if error else "no error"))

        def send(sender):
            seqs[sender] += 1
            outcome("send", lambda s=seqs[sender]: client.send(sender, s & 255, self.body(sender, s)))

        def callback(*_):  # on every event and message: random calls, allowed there or not
            op = crng.choices(["send", "release", "connect", "wait_release", "close", None], [3, 1, .3, .3, .3, 5])[0]
            if state["storm"] and op:
                send(0) if op == "send" else outcome(op, calls[op], inside=True)
            return state["storm"] and crng.random() < 0.03  # a true result cuts

        def message(_client, main_id, assistant_id, flags, body):
            fields = body.split(b":", 2)
            seq = int(fields[1]) if len(fields) == 3 and fields[1].isdigit() else -1
            if (body, assistant_id, flags) != (self.body(main_id, seq), seq & 255, ynet.REQUEST) \
                    or seq <= last.get(main_id, 0):
                problems.append(f"echo {main_id}/{assistant_id}, {len(body)} bytes: broken, out of order or again")
            last[main_id] = seq
            (echoed if main_id == 9 else got).set()
            return callback()

        def worker(index, wrng):
            for op in wrng.choices(self.OPS, self.WEIGHTS, k=10):
                if op == "echo":  # lets echoes come: the next one, or 50 ms
                    got.clear()
                    got.wait(0.05)
                elif op == "send":
                    for _ in range(wrng.randint(1, 4)):
                        send(index + 1)
                else:
                    with owner if op in self.WAITS - {"close"} else contextlib.nullcontext():  # one owner call at once
                        outcome(op, calls[op])

        def finish():
            state["storm"] = False
            if not state["closed"]:  # the client still works: connect and exchange
                client.wait_release()  # the receive thread ends: no random callback after this
                client.connect(server.address, timeout=5)
                client.send(9, 1, self.body(9, 1))
                self.assertTrue(echoed.wait(10), "no echo once the calls had ended")
            state["closed"] = True
            client.close()

        def bounded(*functions):  # a hung call holds the client for good: the seed, every stack, and the run ends
            pool = concurrent.futures.ThreadPoolExecutor(len(functions))
            futures = [pool.submit(function) for function in functions]
            if concurrent.futures.wait(futures, 20).not_done:
                print(f"{name}: calls still under way after 20 s, in the stacks below", file=sys.stderr, flush=True)
                faulthandler.dump_traceback()
                os._exit(1)
            pool.shutdown()
            problems.extend(repr(future.exception()) for future in futures if future.exception())

        crng = random.Random(rng.random())  # the callbacks': they never run at the same time
        client = ynet.Client(message, callback)
        bounded(*[functools.partial(worker, i, random.Random(rng.random())) for i in range(rng.randint(2, 3))])
        bounded(finish)
        for op in self.OPS[:5]:  # refused once closed, with the closed error
            outcome(op, calls[op])
        self.assertEqual((problems, client.callback_error, client.connected), ([], None, False), name)


if __name__ == "__main__":
    unittest.main()
