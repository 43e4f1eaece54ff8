// The C# binding against a real ynet-echod and microsocks:
//   YonderNetTest.exe ECHOD_PORT MICROSOCKS_PORT
// Prints one line per check and "N passed, N failed"; exits 1 on a failure.
using System;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using YonderNet;

static class YonderNetTest
{
    static string s_Server, s_Proxy;
    static int s_Passed, s_Failed;

    static void Check(bool ok, string what)
    {
        if (ok)
            s_Passed++;
        else
            s_Failed++;
        Console.WriteLine("{0}: {1}", ok ? "ok" : "FAILED", what);
    }

    static void Throws<T>(Action call, Func<T, bool> expected, string what) where T : Exception
    {
        try {
            call();
            Check(false, what + " (nothing thrown)");
        } catch (T error) {
            Check(expected(error), what + " (" + error.Message + ")");
        }
    }

    static byte[] Bytes(string text) { return Encoding.UTF8.GetBytes(text); }

    static void EchoWithEvents()
    {
        var bodies = new[] { "", "hello from C#", new string('x', 1436) };
        var got = new Message[3];
        int count = 0, connected = 0;
        var done = new ManualResetEventSlim();
        using (var client = new Client()) {
            client.Connected += (sender, e) => connected++;
            client.MessageReceived += (sender, e) => {
                got[count++] = e.Message;
                e.Cut = count == 3;
            };
            client.ThreadEnded += (sender, e) => done.Set();
            client.Connect(s_Server);
            for (int i = 0; i < 3; ++i)
                client.Send(7, (uint)i, Bytes(bodies[i]), MessageFlags.Request | MessageFlags.Ordinal);
            Check(done.Wait(10000) && !client.IsConnected, "the third message's handler cuts, the thread ends");
        }
        Check(connected == 1 && count == 3 &&
                  Enumerable.Range(0, 3).All(i => got[i].MainId == 7 && got[i].AssistantId == i &&
                                                  got[i].Flags == (MessageFlags.Request | MessageFlags.Ordinal) &&
                                                  Encoding.UTF8.GetString(got[i].Body) == bodies[i]),
              "events: three echoes, in order, every field back");
    }

    static void ReceiveAsyncThroughMicrosocks()
    {
        using (var client = new Client()) {
            client.Connect(s_Server, new ConnectOptions { ProxyType = ProxyType.Socks5, Proxy = s_Proxy, TimeoutMs = 5000 });
            Task<Message> early = client.ReceiveAsync();
            client.Send(2, 1, Bytes("through microsocks"));
            client.Send(2, 2, Bytes("second"));
            Check(early.Wait(10000) && Encoding.UTF8.GetString(early.Result.Body) == "through microsocks",
                  "ReceiveAsync through microsocks: the first echo");
            Check(client.ReceiveAsync().Result.AssistantId == 2, "ReceiveAsync: the second, in order");
            var cancel = new CancellationTokenSource(50);
            try {
                client.ReceiveAsync(cancel.Token).Wait();
                Check(false, "a cancelled ReceiveAsync");
            } catch (AggregateException error) {
                Check(error.InnerException is TaskCanceledException, "a cancelled ReceiveAsync ends cancelled");
            }
            client.Send(2, 3, Bytes("after the cancel"));
            Check(client.ReceiveAsync().Result.AssistantId == 3, "a cancelled ReceiveAsync takes no message");
            client.Release();
            Task<Message> end = client.ReceiveAsync();
            Check(end.Wait(10000) && end.Result == null && client.ReceiveAsync().Wait(10000) &&
                      client.ReceiveAsync().Result == null,
                  "ReceiveAsync gives null once the receive thread ended, and again");
        }
    }

    static void HandlerThatThrows()
    {
        var cut = new ManualResetEventSlim();
        YNetException refusal = null;
        using (var client = new Client()) {
            client.MessageReceived += (sender, e) => {
                try {
                    ((Client)sender).Dispose();
                } catch (YNetException error) {
                    refusal = error;
                }
                throw new InvalidOperationException("handler failed");
            };
            client.ConnectionCut += (sender, e) => cut.Set();
            client.Connect(s_Server);
            client.Send(1, 1, Bytes("boom"));
            Check(cut.Wait(10000) && client.CallbackError is InvalidOperationException,
                  "a handler that throws cuts the connection; the exception is kept");
            Check(refusal != null && refusal.Code == YNetException.State, "Dispose from its own handler is refused");
        }
    }

    // Connected runs while the receive thread waits for it: what would wait
    // for that thread throws there, and the connection goes on.
    static void WaitingFromConnected()
    {
        var refusals = new StringBuilder();
        using (var client = new Client()) {
            client.Connected += (sender, e) => {
                foreach (Action call in new Action[] { client.WaitRelease, () => client.Connect(s_Server),
                                                       client.Reconnect, client.Dispose }) {
                    try {
                        call();
                    } catch (YNetException error) {
                        refusals.Append(error.Code);
                    }
                }
            };
            Check(Task.Run(() => client.Connect(s_Server)).Wait(10000), "Connect returns with Connected's refusals");
            Check(refusals.ToString() == "-3-3-3-3",
                  "Connected: WaitRelease, Connect, Reconnect, Dispose throw E_STATE (" + refusals + ")");
            client.Send(4, 1, Bytes("still open"));
            Task<Message> echo = client.ReceiveAsync();
            Check(echo.Wait(10000) && echo.Result != null && echo.Result.AssistantId == 1, "and the echo comes");
        }
    }

    static void Errors()
    {
        var client = new Client();
        Throws<YNetException>(() => client.Send(64, 0, Bytes("x")),
                              e => e.Code == YNetException.Arg && e.Message.StartsWith("ynet_client_send: main ID 64"),
                              "the library's code and text");
        Throws<YNetException>(() => client.Connect("localhost:7"),
                              e => e.Code == YNetException.Arg && e.Message.StartsWith("ynet_client_connect: the server"),
                              "a malformed server");
        Throws<YNetException>(() => client.Connect(s_Server + "\0junk"),
                              e => e.Code == YNetException.Arg && e.Message == "Connect: the server holds a NUL character",
                              "a server with a NUL");
        foreach (var options in new[] { new ConnectOptions { ProxyType = ProxyType.Socks5, Proxy = s_Proxy + "\0" },
                                        new ConnectOptions { ProxyType = ProxyType.Socks5, Proxy = s_Proxy, User = "u\0" },
                                        new ConnectOptions { ProxyType = ProxyType.Socks5, Proxy = s_Proxy, User = "u",
                                                             Password = "\0p" } })
            Throws<YNetException>(() => client.Connect(s_Server, options),
                                  e => e.Code == YNetException.Arg && e.Message.Contains("holds a NUL"), "a NUL in the options");
        Check(!client.IsConnected, "nothing connected");
        Task<Message> pending = client.ReceiveAsync(new CancellationTokenSource().Token); // never connected
        client.Dispose();
        Check(pending.Wait(5000) && pending.Result == null, "Dispose completes a pending ReceiveAsync");
        client = new Client();
        client.Connect(s_Server);
        foreach (Action again in new Action[] { () => client.Connect(s_Server), () => client.ConnectUrl(s_Server) })
            Throws<YNetException>(again, e => e.Code == YNetException.State && e.Message.Contains("already connected"),
                                  "a second connect");
        Check(client.IsConnected, "the connection is kept");
        client.Dispose();
        client.Dispose();
        Check(!client.IsConnected, "IsConnected is false after Dispose");
        Throws<ObjectDisposedException>(() => client.Send(1, 1, Bytes("x")), e => true, "Send after Dispose");
        Check(BitConverter.ToString(Library.PackHead(7, 1, 2, MessageFlags.Request)) == "07-00-05-02" &&
                  BitConverter.ToString(Library.Encode(Bytes("abc"))) == "61-AB-6B" &&
                  Encoding.UTF8.GetString(Library.Decode(Library.Encode(Bytes("round trip")))) == "round trip" &&
                  Library.Version >> 16 == 1,
              "head, scrambler, version");
    }

    // Connect (directly, or through a proxy that never answers), Send and Release on other threads racing Dispose:
    // every call returns (Dispose ends a connect under way, whenever it comes), and a call after it throws.
    static void CallsRacingDispose()
    {
        var silent = new System.Net.Sockets.TcpListener(System.Net.IPAddress.Loopback, 0);
        silent.Start();
        var proxy = new ConnectOptions { ProxyType = ProxyType.Socks5,
                                         Proxy = "127.0.0.1:" + ((System.Net.IPEndPoint)silent.LocalEndpoint).Port };
        var random = new Random(1789);
        int rounds = 0, hung = 0, refused = 0;
        for (; rounds < 1000 && hung == 0; ++rounds) {
            var client = new Client();
            var go = new ManualResetEventSlim();
            ConnectOptions options = random.Next(2) == 0 ? proxy : null;
            var threads = new Action[] { () => client.Connect(s_Server, options), () => client.Send(1, 1, Bytes("x")),
                                         () => client.Release() }
                              .Select(call => new Thread(() => {
                                  go.Wait();
                                  try {
                                      call();
                                  } catch (YNetException) {
                                  } catch (ObjectDisposedException) {
                                  }
                              }) { IsBackground = true }).ToList();
            threads.ForEach(thread => thread.Start());
            go.Set();
            Thread.SpinWait(random.Next(4000)); // where the Dispose falls among the calls
            client.Dispose();
            hung += threads.Count(thread => !thread.Join(10000));
            try {
                client.Release();
            } catch (ObjectDisposedException) {
                refused++;
            }
        }
        silent.Stop();
        Check(hung == 0 && refused == rounds, string.Format("calls racing Dispose: {0} of {1} rounds left a call hung, "
                                                             + "{2} refused the call after Dispose", hung, rounds, refused));
    }

    static byte[] Body(uint sender, int seq) // of 1 to 1436 bytes
    {
        var head = Encoding.ASCII.GetBytes(sender + ":" + seq + ":");
        int length = (seq * 7919 + (int)sender * 104729) % (1437 - head.Length);
        return head.Concat(Enumerable.Range(0, length).Select(i => (byte)(seq * 31 + i))).ToArray();
    }

    // Threads and the client's own handlers make random calls on one client at once: Connect (to ynet-echod or to a
    // refused port), Send, Release, WaitRelease, Dispose, ReceiveAsync. Each call returns, or throws what it may throw
    // then; every echo comes back whole, each sender's in order and once. YNET_BINDING_SEED=N replays seed N's rounds.
    static void SeededCalls()
    {
        string given = Environment.GetEnvironmentVariable("YNET_BINDING_SEED");
        var taken = new System.Net.Sockets.TcpListener(System.Net.IPAddress.Loopback, 0);
        taken.Start();
        string refused = "127.0.0.1:" + ((System.Net.IPEndPoint)taken.LocalEndpoint).Port;
        taken.Stop();
        Func<int> threads = () => Directory.GetDirectories("/proc/self/task").Count(task => { // but Mono's pool's
            try {
                return !File.ReadAllText(task + "/comm").StartsWith("Thread Pool") &&
                       !File.ReadAllText(task + "/comm").StartsWith("Timer-Scheduler");
            } catch (IOException) {
                return false; // ended meanwhile
            }
        });
        using (var first = new Client()) // the first connect starts what the library keeps for the process
            first.Connect(s_Server);
        int before = threads();
        Library.SetLogSink(line => { }); // the refused connects' lines
        foreach (int seed in string.IsNullOrEmpty(given) ? new[] { 1, 2, 3 } : new[] { int.Parse(given) })
            for (int round = 0; round < 5; ++round)
                SeededRound("seed " + seed + " round " + round, new Random(seed * 100 + round), refused);
        Library.SetLogSink(null);
        var watch = System.Diagnostics.Stopwatch.StartNew();
        while (threads() > before && watch.ElapsedMilliseconds < 5000)
            Thread.Sleep(10); // a thread waited for may still be in its last steps in the system
        Check(threads() <= before, "seeded calls, seeds " + (given ?? "1, 2, 3") + ": threads " + before + " -> " +
                                       threads());
    }

    static void SeededRound(string name, Random random, string refused)
    {
        var ops = new[] { "Connect", "Refused", "Send", "Release", "WaitRelease", "Dispose", "Echo" };
        var table = ops.SelectMany((op, i) => Enumerable.Repeat(op, new[] { 12, 4, 24, 4, 4, 1, 12 }[i])).ToArray();
        var handlerOps = new[] { "Send", "Send", "Send", "Release", "Connect", "WaitRelease", "Dispose" };
        var problems = new System.Collections.Concurrent.ConcurrentQueue<string>();
        var last = new System.Collections.Generic.Dictionary<uint, int>();
        var seqs = new int[10];
        var got = new AutoResetEvent(false);
        var echoed = new ManualResetEvent(false);
        bool queued = random.Next(2) == 0, storm = true, closing = false, closed = false;
        int started = 0, ended = 0; // receive threads
        var handlerRandom = new Random(random.Next()); // the handlers': they never run at the same time
        var client = new Client();
        var calls = new System.Collections.Generic.Dictionary<string, Action> {
            { "Connect", () => client.Connect(s_Server, new ConnectOptions { TimeoutMs = 5000 }) },
            { "Refused", () => client.Connect(refused) }, { "Send", () => client.Send(1, 0, null) },
            { "Release", client.Release }, { "WaitRelease", client.WaitRelease }, { "Dispose", client.Dispose } };
        Action<string, Action, bool> outcome = (op, call, inside) => {
            bool done = closed, disposing = op == "Dispose" && !inside;
            closing |= disposing;
            Exception error = null;
            try {
                call();
            } catch (Exception caught) {
                error = caught;
            }
            closed |= disposing;
            int code = error is YNetException ? ((YNetException)error).Code : 0;
            bool fails = op == "Connect" || op == "Refused" || op == "Send"; // refused, not connected, ended meanwhile
            bool right = done ? (op == "Dispose" ? error == null : error is ObjectDisposedException) // once disposed
                              : inside && op != "Release" ? code == YNetException.State // would wait for its own thread
                                                          : error == null || code == YNetException.Fail && fails ||
                                    code == YNetException.State && (op == "Connect" || op == "Refused") &&
                                        error.Message.Contains("already connected");
            if (!right && !(error is ObjectDisposedException && closing))
                problems.Enqueue(op + (inside ? " in a handler" : "") + ": " +
                                 (error == null ? "no error" : error.ToString()));
        };
        Action<uint> send = sender => {
            int seq = ++seqs[sender];
            outcome("Send", () => client.Send(sender, (uint)seq & 255, Body(sender, seq)), false);
        };
        Action<Message> record = message => { // one at a time: on the receive thread, or under lock (last)
            string[] fields = Encoding.ASCII.GetString(message.Body, 0, Math.Min(message.Body.Length, 16)).Split(':');
            int seq, before;
            if (fields.Length < 3 || !int.TryParse(fields[1], out seq))
                seq = -1;
            last.TryGetValue(message.MainId, out before);
            if (seq <= before || message.AssistantId != (seq & 255) || message.Flags != MessageFlags.Request ||
                !message.Body.SequenceEqual(Body(message.MainId, seq)))
                problems.Enqueue("echo " + message.MainId + "/" + message.AssistantId + ", " + message.Body.Length +
                                 " bytes: broken, out of order or again");
            last[message.MainId] = seq;
            (message.MainId == 9 ? (EventWaitHandle)echoed : got).Set();
        };
        Func<int, Message> receive = ms => { // the next queued message, or null (ended, or none within ms)
            lock (last) {
                Task<Message> next = client.ReceiveAsync(new CancellationTokenSource(ms).Token);
                try {
                    if (next.Wait(ms + 5000) && next.Result != null)
                        record(next.Result);
                    else if (!next.IsCompleted)
                        problems.Enqueue("ReceiveAsync did not end with its cancel");
                    return next.IsCompleted ? next.Result : null;
                } catch (AggregateException error) {
                    if (!(error.InnerException is TaskCanceledException))
                        problems.Enqueue("ReceiveAsync: " + error.InnerException);
                    return null;
                }
            }
        };
        Action handler = () => { // the handlers' own random calls, allowed there or not
            int pick = handlerRandom.Next(handlerOps.Length * 2);
            if (storm && pick < handlerOps.Length && handlerOps[pick] == "Send")
                send(0);
            else if (storm && pick < handlerOps.Length)
                outcome(handlerOps[pick], calls[handlerOps[pick]], true);
        };
        client.ThreadStarted += (sender, e) => {
            ++started;
            handler();
        };
        client.ThreadEnded += (sender, e) => {
            ++ended;
            handler();
        };
        client.Connected += (sender, e) => handler();
        client.ConnectionCut += (sender, e) => handler();
        if (!queued)
            client.MessageReceived += (sender, e) => {
                record(e.Message);
                handler();
                e.Cut = storm && handlerRandom.Next(30) == 0;
            };
        var doing = new string[random.Next(2, 4)];
        Action<Action[]> bounded = actions => { // a hung call holds the client for good: the seed, and the run ends
            var threads = actions.Select(action => new Thread(() => {
                try {
                    action();
                } catch (Exception error) {
                    problems.Enqueue(error.ToString());
                }
            }) { IsBackground = true }).ToList();
            threads.ForEach(thread => thread.Start());
            var deadline = DateTime.UtcNow.AddSeconds(20);
            Func<TimeSpan> rest = () => TimeSpan.FromTicks(Math.Max(0, (deadline - DateTime.UtcNow).Ticks));
            if (threads.Any(thread => !thread.Join(rest())))
                Environment.FailFast(name + ": calls still under way after 20 s: " + string.Join(", ", doing));
        };
        object owner = new object();
        bounded(Enumerable.Range(0, doing.Length).Select(index => {
            var own = new Random(random.Next());
            return (Action)(() => {
                for (int n = 0; n < 10; ++n) {
                    string op = doing[index] = table[own.Next(table.Length)];
                    if (op == "Echo" && queued) // lets echoes come: the next one, or 50 ms
                        receive(50);
                    else if (op == "Echo")
                        got.WaitOne(50);
                    for (int i = op == "Send" ? own.Next(1, 5) : 0; i > 0; --i)
                        send((uint)index + 1);
                    if (op == "Dispose" || op == "Release")
                        outcome(op, calls[op], false);
                    else if (op != "Echo" && op != "Send")
                        lock (owner) // one owner call at a time
                            outcome(op, calls[op], false);
                }
                doing[index] = null;
            });
        }).ToArray());
        doing = new[] { "the last exchange and Dispose" };
        bounded(new Action[] { () => {
            storm = false;
            if (!closed) { // the client still works: connect and exchange
                client.WaitRelease();
                for (int nulls = 0; queued && nulls <= ended;) // what is queued and the ended threads' nulls: then none
                    nulls += receive(1) == null ? 1 : 0;
                client.Connect(s_Server, new ConnectOptions { TimeoutMs = 5000 });
                client.Send(9, 1, Body(9, 1));
                if (queued && receive(10000) == null)
                    problems.Enqueue("ReceiveAsync gave null while a receive thread ran");
                if (!echoed.WaitOne(queued ? 0 : 10000))
                    problems.Enqueue("no echo once the calls had ended");
            }
            closed = true;
            client.Dispose();
        } });
        foreach (string op in ops.Take(5))
            outcome(op, calls[op], false);
        if (started != ended)
            problems.Enqueue(started + " receive threads started, " + ended + " ended");
        Check(problems.IsEmpty && client.CallbackError == null && !client.IsConnected,
              name + (queued ? " (ReceiveAsync)" : " (MessageReceived)") + ": " +
                  (problems.IsEmpty ? "every call returned what it may" : string.Join("; ", problems.Distinct())) +
                  (client.CallbackError != null ? "; a handler threw " + client.CallbackError : ""));
    }

    static int Count(string folder) { return Directory.GetFileSystemEntries(folder).Length; }

    // Create, exchange, destroy (every other client only dropped), with a
    // full collection between: no thread or descriptor may be left over.
    // Every other exchange collects in the message handler, on the receive
    // thread: what that collection leaves on the thread's stack must not keep
    // a dropped client alive (Mono scans stacks conservatively).
    static void Cycles()
    {
        Action cycle = null;
        int n = 0;
        cycle = () => {
            var client = new Client();
            var echoed = new ManualResetEventSlim();
            bool collectInHandler = n % 4 >= 2;
            if (collectInHandler)
                client.MessageReceived += (sender, e) => {
                    GC.Collect();
                    echoed.Set();
                };
            client.Connect(s_Server);
            client.Send(1, 1, Bytes("cycle"));
            if (!(collectInHandler ? echoed.Wait(10000) : client.ReceiveAsync().Wait(10000)))
                throw new TimeoutException("no echo");
            if (++n % 2 == 0)
                client.Dispose();
            GC.Collect();
            GC.WaitForPendingFinalizers();
        };
        for (int i = 0; i < 4; ++i)
            cycle();
        int threads = Count("/proc/self/task"), descriptors = Count("/proc/self/fd");
        for (int i = 0; i < 100; ++i)
            cycle();
        GC.Collect();
        GC.WaitForPendingFinalizers();
        // A thread that was waited for may still be in its last steps in the
        // system (the runtime's thread-exit hooks run after the library's
        // code): the count is read again until it drops, for at most 5 s.
        var watch = System.Diagnostics.Stopwatch.StartNew();
        int threadsAfter;
        while ((threadsAfter = Count("/proc/self/task")) > threads && watch.ElapsedMilliseconds < 5000)
            Thread.Sleep(10);
        int descriptorsAfter = Count("/proc/self/fd");
        Check(threadsAfter <= threads && descriptorsAfter <= descriptors,
              string.Format("100 create/destroy cycles: threads {0} -> {1}, descriptors {2} -> {3}", threads,
                            threadsAfter, descriptors, descriptorsAfter));
    }

    static void ByNameThroughAProxyUrl()
    {
        string port = s_Server.Substring(s_Server.LastIndexOf(':') + 1);
        foreach (var proxy in new[] { null, "socks5h://" + s_Proxy }) {
            using (var client = new Client()) {
                client.SetNoDelay(proxy == null); // either way the same bytes arrive
                client.SetKeepAlive(1000, 1000, 2);
                client.ConnectUrl("localhost:" + port, proxy, 10000);
                client.Send(3, 1, Bytes("by name"));
                Task<Message> echo = client.ReceiveAsync();
                Check(echo.Wait(10000) && Encoding.UTF8.GetString(echo.Result.Body) == "by name",
                      "ConnectUrl by name through " + (proxy ?? "no proxy") + ": the echo");
            }
        }
        using (var client = new Client()) {
            Throws<YNetException>(() => client.SetKeepAlive(1000, 1000, 128),
                                  e => e.Code == YNetException.Arg && e.Message.StartsWith("ynet_client_set_keepalive: "),
                                  "SetKeepAlive: 128 probes refused");
            Throws<YNetException>(() => client.ConnectUrl("localhost:1", "ftp://" + s_Proxy),
                                  e => e.Code == YNetException.Arg && e.Message.StartsWith("ynet_client_connect_url: "),
                                  "ConnectUrl: a proxy URL of no known scheme, refused before anything is sent");
        }
    }

    // One long-lived token over many receives: each ended wait lets go of its registration.
    static void LongLivedToken()
    {
        using (var client = new Client())
        using (var token = new CancellationTokenSource()) {
            client.Connect(s_Server);
            long before = 0;
            for (int i = 0; i < 20000; i++) {
                if (i == 2000)
                    before = GC.GetTotalMemory(true);
                client.Send(1, 1, Bytes("token"));
                Task<Message> got = client.ReceiveAsync(token.Token);
                if (!got.Wait(10000) || got.Result == null) {
                    Check(false, "round trip " + i + " with one token");
                    return;
                }
            }
            long grown = GC.GetTotalMemory(true) - before;
            Check(grown < 1 << 20, "the heap grew " + grown + " bytes over 18,000 receives with one token");
        }
    }

    static int Main(string[] args)
    {
        s_Server = "127.0.0.1:" + args[0];
        s_Proxy = "127.0.0.1:" + args[1];
        foreach (Action test in new Action[] { EchoWithEvents, ReceiveAsyncThroughMicrosocks, ByNameThroughAProxyUrl,
                                               HandlerThatThrows, WaitingFromConnected, Errors, CallsRacingDispose,
                                               SeededCalls, LongLivedToken, Cycles }) {
            try {
                test();
            } catch (Exception error) {
                Check(false, test.Method.Name + ": " + error);
            }
        }
        Console.WriteLine("{0} passed, {1} failed", s_Passed, s_Failed);
        return s_Failed == 0 ? 0 : 1;
    }
}
