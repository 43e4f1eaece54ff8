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

    static int Main(string[] args)
    {
        s_Server = "127.0.0.1:" + args[0];
        s_Proxy = "127.0.0.1:" + args[1];
        foreach (Action test in new Action[] { EchoWithEvents, ReceiveAsyncThroughMicrosocks, ByNameThroughAProxyUrl,
                                               HandlerThatThrows, WaitingFromConnected, Errors, CallsRacingDispose,
                                               Cycles }) {
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
