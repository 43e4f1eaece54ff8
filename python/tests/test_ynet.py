"""The ynet module against a real ynet-echod (YNET_ECHOD names it; YNET_LIBRARY the library)."""
import os
import subprocess
import threading
import time
import unittest

import ynet


class EchoServer:
    def __enter__(self):
        self.process = subprocess.Popen([os.environ["YNET_ECHOD"], "--quiet", "--stdin-stop"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.address = "127.0.0.1:" + self.process.stdout.readline().split()[1]
        return self

    def __exit__(self, *_):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()


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


class ClientTest(unittest.TestCase):
    def exchange(self, recorder, bodies):
        with EchoServer() as server, ynet.Client(recorder.message, recorder.event) as client:
            client.connect(server.address)
            for i, body in enumerate(bodies):
                client.send(7, i, body, ynet.REQUEST | ynet.ORDINAL)
            self.assertTrue(recorder.done.wait(10), "the receive thread did not end")
            self.assertFalse(client.connected)
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
        self.assertEqual(recorder.refusal.code, -3)
        self.assertIn("ynet_client_destroy", recorder.refusal.text)
        self.assertIn("cut", recorder.events)

    def test_helpers_and_errors(self):
        head = ynet.pack_head(7, 1, 2, ynet.REQUEST)
        self.assertEqual(head + ynet.encode(b"abc"), bytes.fromhex("07000502 61AB6B"))
        self.assertEqual(ynet.unpack_head(head), (7, 1, 2, ynet.REQUEST))
        self.assertEqual(ynet.decode(ynet.encode(b"round trip")), b"round trip")
        self.assertEqual(ynet.version() >> 16, 1)
        with ynet.Client(lambda *_: 0) as client:
            for call, code, text in [
                    (lambda: client.send(64, 0, b"x"), -1, "ynet_client_send: main ID 64"),
                    (lambda: client.send(1, 0, b"x" * 1437), -1, "ynet_client_send: body length 1437"),
                    (lambda: client.send(1, 0, b"x"), -4, "ynet_client_send: the connection is closed"),
                    (lambda: client.connect("localhost:7"), -1, "ynet_client_connect: the server is not"),
                    (lambda: ynet.pack_head(1441, 1, 0), -1, "ynet_head_pack: size 1441")]:
                with self.assertRaises(ynet.YNetError) as caught:
                    call()
                self.assertEqual((caught.exception.code, caught.exception.text[:len(text)]), (code, text))


if __name__ == "__main__":
    unittest.main()
