// YonderNet.cs: YonderNetC from C#, over its C interface (ynet.h) by P/Invoke.
//
// One source file to add to a project. It sticks to what .NET Framework
// 4.6+, .NET Core 2.0+ / .NET 5+ and Mono share (C# 6), and loads the
// library by the name "YonderNetC": YonderNetC.dll beside the program on
// Windows (the x86 DLL for a 32-bit process, the x64 one for a 64-bit
// process), libYonderNetC.so where the loader finds it elsewhere.
//
//   using (var client = new YonderNet.Client()) {
//       client.MessageReceived += (sender, e) => Console.WriteLine(e.Message.Body.Length);
//       client.Connect("127.0.0.1:7000");
//       client.Send(1, 2, Encoding.UTF8.GetBytes("hello"));
//   }
//
// Threads: the events run on the client's receive thread, one at a time
// (Connected on the connecting thread, while the receive thread waits for
// it). A handler may Send (on any client), Disconnect and Release; an
// exception thrown by a handler cuts the connection and is kept in
// CallbackError; Dispose, WaitRelease, Connect, ConnectUrl and Reconnect
// from a handler of the same client, Connected included, throw (E_STATE:
// they would wait for its receive thread). With no MessageReceived handler, messages wait in a
// bounded queue for ReceiveAsync; while it is full the receive thread waits
// (the connection stops reading and TCP holds the server back).
//
// Lifetime: the library calls back through static delegates, which live as
// long as the process; each client's state is reached through a GCHandle
// freed only once ynet_client_destroy has waited for the receive thread. A
// client dropped without Dispose is destroyed by its SafeHandle's finalizer;
// clients still open when the process exits are disposed then. Each library
// call with the handle is counted while it runs, on whichever thread: Dispose
// refuses new calls (ObjectDisposedException), ends the calls under way (a
// Connect too: ynet_client_release, repeated, since one that comes before the
// connect has its socket ends nothing) and waits for them to leave, so that
// the client is destroyed on the disposing thread, after its last call.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace YonderNet
{
    [Flags]
    public enum MessageFlags : uint { None = 0, Request = 1, Respond = 2, Ordinal = 4 }

    public enum ProxyType : uint { None = 0, Socks4 = 1, Socks5 = 2 }

    /// <summary>A failed call: Code is the library's YNET_E_* result, Message its text.</summary>
    public sealed class YNetException : Exception
    {
        public const int Arg = -1, Handle = -2, State = -3, Fail = -4, Memory = -5;

        public YNetException(int code, string text) : base(text) { Code = code; }

        public int Code { get; private set; }
    }

    /// <summary>One received message: the head's fields and a copy of the unscrambled body.</summary>
    public sealed class Message
    {
        public Message(uint mainId, uint assistantId, MessageFlags flags, byte[] body)
        {
            MainId = mainId;
            AssistantId = assistantId;
            Flags = flags;
            Body = body;
        }

        public uint MainId { get; private set; }
        public uint AssistantId { get; private set; }
        public MessageFlags Flags { get; private set; }
        public byte[] Body { get; private set; }
    }

    public sealed class MessageEventArgs : EventArgs
    {
        internal MessageEventArgs(Message message) { Message = message; }

        public Message Message { get; private set; }

        /// <summary>Set it to cut the connection once the handler returns.</summary>
        public bool Cut { get; set; }
    }

    /// <summary>How to connect: through a SOCKS proxy ("a.b.c.d:port"), and a bound on the connect.</summary>
    public sealed class ConnectOptions
    {
        public ProxyType ProxyType { get; set; }
        public string Proxy { get; set; }
        public string User { get; set; }
        public string Password { get; set; }
        public uint TimeoutMs { get; set; }
    }

    internal static class Native
    {
        private const string Library = "YonderNetC";

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate int MessageFn(IntPtr user, IntPtr client, uint mainId, uint assistantId, uint flags,
                                        IntPtr body, int length);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void EventFn(IntPtr user, IntPtr client);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void NotifyFn(IntPtr user, IntPtr client, uint what);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void LogFn(IntPtr user, IntPtr line);

        [StructLayout(LayoutKind.Sequential)]
        internal struct Callbacks
        {
            public uint Size;
            public IntPtr User;
            public IntPtr OnMessage, OnCut, OnThreadBegin, OnThreadEnd, OnNotify;
            public IntPtr Window;
            public uint WindowMessage;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct Options
        {
            public uint Size;
            public uint ProxyType;
            [MarshalAs(UnmanagedType.LPStr)] public string Proxy;
            [MarshalAs(UnmanagedType.LPStr)] public string User;
            [MarshalAs(UnmanagedType.LPStr)] public string Password;
            public uint TimeoutMs;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct Head
        {
            public uint Size, MainId, AssistantId, Flags;
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint ynet_version();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr ynet_last_error();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_stack_start();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_stack_stop();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_set_log_sink(LogFn sink, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_new(ref Callbacks callbacks, out IntPtr client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_connect(ClientHandle client, [MarshalAs(UnmanagedType.LPStr)] string server,
                                                       ref Options options);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_connect_url(ClientHandle client,
                                                           [MarshalAs(UnmanagedType.LPStr)] string target,
                                                           [MarshalAs(UnmanagedType.LPStr)] string proxyUrl, uint timeoutMs);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_reconnect(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_set_nodelay(ClientHandle client, int on);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_set_keepalive(ClientHandle client, uint idleMs, uint intervalMs, uint count);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_send(ClientHandle client, uint mainId, uint assistantId, uint flags,
                                                    byte[] body, int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_is_connected(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_disconnect(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_release(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_wait_release(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_client_destroy(IntPtr client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_head_pack(ref Head head, byte[] bytes4);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_encode(byte[] body, int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int ynet_decode(byte[] body, int length);

        internal static int Check(int result)
        {
            if (result < 0)
                throw new YNetException(result, Marshal.PtrToStringAnsi(ynet_last_error()));
            return result;
        }

        // A text for the library: C strings end at the first NUL, so one
        // that holds a NUL would be cut short silently. Refused instead.
        internal static string Text(string operation, string what, string value)
        {
            if (value != null && value.IndexOf('\0') >= 0)
                throw new YNetException(YNetException.Arg, operation + ": the " + what + " holds a NUL character");
            return value;
        }
    }

    /// <summary>The library's client handle; its release destroys the client (waiting for its receive thread).</summary>
    public sealed class ClientHandle : SafeHandle
    {
        internal ClientHandle() : base(IntPtr.Zero, true) { }

        internal Dispatcher Dispatcher;
        internal GCHandle Pin; // what the callbacks' user pointer names

        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }

        internal IntPtr Value { get { return handle; } }

        internal void Set(IntPtr value) { SetHandle(value); }

        protected override bool ReleaseHandle()
        {
            Dispatcher.Close();
            if (Native.ynet_client_destroy(handle) != 0)
                return false; // on its own receive thread: the library keeps the client (and so its user pointer)
            Pin.Free();
            return true;
        }
    }

    // What the callbacks reach: the client only weakly (so that a client
    // dropped without Dispose can be collected while its receive thread waits
    // in the queue), the queue, the receive thread.
    internal sealed class Dispatcher
    {
        private readonly WeakReference m_Owner;
        private readonly int m_Limit;
        private readonly Queue<Message> m_Queue = new Queue<Message>();
        private readonly Queue<TaskCompletionSource<Message>> m_Waiters = new Queue<TaskCompletionSource<Message>>();
        private bool m_Closed, m_Ended; // m_Ended: no receive thread runs since the last null
        internal volatile int ReceiveThread; // managed thread id, 0 outside the receive thread
        internal volatile int ConnectingThread; // managed thread id while Connected runs, else 0
        internal volatile Exception Error;
        internal EventHandler<MessageEventArgs> MessageReceived;
        internal EventHandler Connected, ConnectionCut, ThreadStarted, ThreadEnded;

        internal Dispatcher(Client owner, int limit)
        {
            m_Owner = new WeakReference(owner);
            m_Limit = limit;
        }

        internal Client Owner { get { return (Client)m_Owner.Target; } }

        // Receive thread. False when the queue was closed (cut then).
        internal bool Put(Message message)
        {
            TaskCompletionSource<Message> waiter = null;
            lock (m_Queue) {
                while (message != null && m_Queue.Count >= m_Limit && !m_Closed)
                    Monitor.Wait(m_Queue);
                if (m_Closed && message != null)
                    return false;
                while (m_Waiters.Count > 0 && waiter == null) {
                    waiter = m_Waiters.Dequeue();
                    if (waiter.Task.IsCompleted) // cancelled meanwhile
                        waiter = null;
                }
                if (waiter == null)
                    m_Queue.Enqueue(message);
                m_Ended = message == null;
            }
            if (waiter != null && !waiter.TrySetResult(message))
                return Put(message); // cancelled just now: to the next one
            return true;
        }

        internal Task<Message> Take(CancellationToken cancel)
        {
            lock (m_Queue) {
                if (m_Queue.Count > 0) {
                    Monitor.PulseAll(m_Queue);
                    return Task.FromResult(m_Queue.Dequeue());
                }
                if (m_Ended || m_Closed)
                    return Task.FromResult<Message>(null);
                // Completed on the receive thread: its continuations must not run there.
                var waiter = new TaskCompletionSource<Message>(TaskCreationOptions.RunContinuationsAsynchronously);
                if (cancel.CanBeCanceled) {
                    // Unregistered once the wait ends: a long-lived token keeps no ended wait alive.
                    CancellationTokenRegistration registration = cancel.Register(() => waiter.TrySetCanceled());
                    waiter.Task.ContinueWith(ended => registration.Dispose(), TaskContinuationOptions.ExecuteSynchronously);
                }
                m_Waiters.Enqueue(waiter);
                return waiter.Task;
            }
        }

        // Connecting thread, once connected: a receive thread runs again, so
        // that Take waits for its messages (the last one's null was taken).
        internal void Begin()
        {
            lock (m_Queue)
                m_Ended = false;
        }

        internal void Close()
        {
            TaskCompletionSource<Message>[] waiting;
            lock (m_Queue) {
                m_Closed = true;
                Monitor.PulseAll(m_Queue);
                waiting = m_Waiters.ToArray(); // a client that never connected has no thread to end them
                m_Waiters.Clear();
            }
            foreach (var waiter in waiting)
                waiter.TrySetResult(null);
        }
    }

    /// <summary>One connection to a server, directly or through a SOCKS proxy.</summary>
    public sealed class Client : IDisposable
    {
        private readonly ClientHandle m_Handle;
        private readonly Dispatcher m_Dispatcher;
        private readonly List<int> m_Calls = new List<int>(); // the thread of each call under way; locks m_Closing too
        private bool m_Closing;

        // The library's callbacks, one delegate each for every client, for the life of the process.
        private static readonly Native.MessageFn s_OnMessage = OnMessage;
        private static readonly Native.EventFn s_OnCut = OnCut, s_OnThreadBegin = OnThreadBegin,
                                               s_OnThreadEnd = OnThreadEnd;
        private static readonly Native.NotifyFn s_OnNotify = OnNotify;
        private static readonly List<WeakReference> s_Live = new List<WeakReference>();
        private static bool s_Exiting;

        static Client()
        {
            Native.Check(Native.ynet_stack_start());
            AppDomain.CurrentDomain.ProcessExit += (sender, e) => CloseAll();
        }

        public Client() : this(IntPtr.Zero, 0) { }

        /// <summary>window, windowMessage: the notifications are also posted there (a HWND, Windows only).</summary>
        public Client(IntPtr window, uint windowMessage, int queueLimit = 1024)
        {
            if (queueLimit < 1)
                throw new ArgumentOutOfRangeException("queueLimit");
            m_Dispatcher = new Dispatcher(this, queueLimit);
            m_Handle = new ClientHandle { Dispatcher = m_Dispatcher };
            var callbacks = new Native.Callbacks {
                Size = (uint)Marshal.SizeOf(typeof(Native.Callbacks)),
                OnMessage = Marshal.GetFunctionPointerForDelegate(s_OnMessage),
                OnCut = Marshal.GetFunctionPointerForDelegate(s_OnCut),
                OnThreadBegin = Marshal.GetFunctionPointerForDelegate(s_OnThreadBegin),
                OnThreadEnd = Marshal.GetFunctionPointerForDelegate(s_OnThreadEnd),
                OnNotify = Marshal.GetFunctionPointerForDelegate(s_OnNotify),
                Window = window,
                WindowMessage = windowMessage
            };
            lock (s_Live) {
                if (s_Exiting)
                    throw new YNetException(YNetException.State, "Client: the process is exiting");
                m_Handle.Pin = GCHandle.Alloc(m_Dispatcher);
                callbacks.User = GCHandle.ToIntPtr(m_Handle.Pin);
                IntPtr value;
                int result = Native.ynet_client_new(ref callbacks, out value);
                if (result < 0) {
                    m_Handle.Pin.Free();
                    Native.Check(result);
                }
                m_Handle.Set(value);
                s_Live.RemoveAll(w => !w.IsAlive);
                s_Live.Add(new WeakReference(m_Handle, true)); // reached until it is finalized
            }
        }

        // A library call with the handle, counted while it runs: using (Enter()) ...
        private struct Call : IDisposable
        {
            private readonly Client m_Client;

            internal Call(Client client) { m_Client = client; }

            public void Dispose() { m_Client.Leave(); }
        }

        private Call Enter()
        {
            lock (m_Calls) {
                if (m_Closing)
                    throw new ObjectDisposedException("YonderNet.Client");
                m_Calls.Add(Thread.CurrentThread.ManagedThreadId);
            }
            return new Call(this);
        }

        private void Leave()
        {
            lock (m_Calls) {
                m_Calls.Remove(Thread.CurrentThread.ManagedThreadId);
                if (m_Closing && m_Calls.Count == 0)
                    Monitor.PulseAll(m_Calls);
            }
        }

        // The handlers are the dispatcher's: a receive thread with none to
        // call never touches the client (a garbage collector that scans
        // stacks conservatively, as Mono's does, could keep it alive from there).

        /// <summary>Each message, on the receive thread. With no handler, messages queue for ReceiveAsync.</summary>
        public event EventHandler<MessageEventArgs> MessageReceived
        {
            add { lock (m_Dispatcher) m_Dispatcher.MessageReceived += value; }
            remove { lock (m_Dispatcher) m_Dispatcher.MessageReceived -= value; }
        }

        /// <summary>On the connecting thread, once connected (the receive thread waits for it).</summary>
        public event EventHandler Connected
        {
            add { lock (m_Dispatcher) m_Dispatcher.Connected += value; }
            remove { lock (m_Dispatcher) m_Dispatcher.Connected -= value; }
        }

        public event EventHandler ConnectionCut
        {
            add { lock (m_Dispatcher) m_Dispatcher.ConnectionCut += value; }
            remove { lock (m_Dispatcher) m_Dispatcher.ConnectionCut -= value; }
        }

        public event EventHandler ThreadStarted
        {
            add { lock (m_Dispatcher) m_Dispatcher.ThreadStarted += value; }
            remove { lock (m_Dispatcher) m_Dispatcher.ThreadStarted -= value; }
        }

        public event EventHandler ThreadEnded
        {
            add { lock (m_Dispatcher) m_Dispatcher.ThreadEnded += value; }
            remove { lock (m_Dispatcher) m_Dispatcher.ThreadEnded -= value; }
        }

        /// <summary>The exception the last failing handler threw, or null.</summary>
        public Exception CallbackError { get { return m_Dispatcher.Error; } }

        /// <summary>Connects to server "a.b.c.d:port" (blocking), directly or as options say, and starts the receive thread.</summary>
        public void Connect(string server, ConnectOptions options = null)
        {
            options = options ?? new ConnectOptions();
            var native = new Native.Options {
                Size = (uint)Marshal.SizeOf(typeof(Native.Options)),
                ProxyType = (uint)options.ProxyType,
                Proxy = Native.Text("Connect", "proxy", options.Proxy),
                User = Native.Text("Connect", "user", options.User),
                Password = Native.Text("Connect", "password", options.Password),
                TimeoutMs = options.TimeoutMs
            };
            using (Enter()) {
                RefuseConnected("Connect");
                Native.Check(Native.ynet_client_connect(m_Handle, Native.Text("Connect", "server", server), ref native));
            }
        }

        /// <summary>Connects to target "host:port", "a.b.c.d:port" or "[IPv6]:port" (blocking), directly when
        /// proxyUrl is null, else through it: socks4://, socks4a://, socks5://, socks5h:// or
        /// http://[user[:password]@]host[:port], as curl reads them. timeoutMs bounds the whole attempt (0: none).</summary>
        public void ConnectUrl(string target, string proxyUrl = null, uint timeoutMs = 0)
        {
            using (Enter()) {
                RefuseConnected("ConnectUrl");
                Native.Check(Native.ynet_client_connect_url(m_Handle, Native.Text("ConnectUrl", "target", target),
                                                            Native.Text("ConnectUrl", "proxy URL", proxyUrl), timeoutMs));
            }
        }

        // A new connection would replace the one held, and its messages still to come.
        private void RefuseConnected(string call)
        {
            if (Native.Check(Native.ynet_client_is_connected(m_Handle)) == 1)
                throw new YNetException(YNetException.State, call + ": already connected: Release or WaitRelease first");
        }

        /// <summary>TCP_NODELAY (default true) for the connections made after the call.</summary>
        public void SetNoDelay(bool on)
        {
            using (Enter())
                Native.Check(Native.ynet_client_set_nodelay(m_Handle, on ? 1 : 0));
        }

        /// <summary>TCP keepalive for the connections made after the call: after idleMs without traffic a probe,
        /// then one every intervalMs; count unanswered probes cut the connection. idleMs 0 turns it off.
        /// Default: 60000, 10000, 6.</summary>
        public void SetKeepAlive(uint idleMs, uint intervalMs = 10000, uint count = 6)
        {
            using (Enter())
                Native.Check(Native.ynet_client_set_keepalive(m_Handle, idleMs, intervalMs, count));
        }

        /// <summary>A new connection to the same server (and proxy), replacing the one held;
        /// after a cut (Disconnect, Release, the peer) it fails (E_STATE): connect again.</summary>
        public void Reconnect()
        {
            using (Enter())
                Native.Check(Native.ynet_client_reconnect(m_Handle));
        }

        /// <summary>Sends one message (body at most 1436 bytes, copied); any thread.</summary>
        public void Send(uint mainId, uint assistantId, byte[] body, MessageFlags flags = MessageFlags.Request)
        {
            body = body ?? new byte[0];
            using (Enter())
                Native.Check(Native.ynet_client_send(m_Handle, mainId, assistantId, (uint)flags, body, body.Length));
        }

        /// <summary>The next queued message (when no MessageReceived handler is set), or null once
        /// the receive thread has ended (and while none runs) and every message before was taken.</summary>
        public Task<Message> ReceiveAsync(CancellationToken cancel = default(CancellationToken))
        {
            return m_Dispatcher.Take(cancel);
        }

        public bool IsConnected
        {
            get {
                try {
                    using (Enter())
                        return Native.Check(Native.ynet_client_is_connected(m_Handle)) == 1;
                } catch (ObjectDisposedException) {
                    return false; // disposed: not connected
                }
            }
        }

        /// <summary>Abortive close of the connection.</summary>
        public void Disconnect()
        {
            using (Enter())
                Native.Check(Native.ynet_client_disconnect(m_Handle));
        }

        /// <summary>Closes and asks the receive thread to end, without waiting (allowed in handlers).</summary>
        public void Release()
        {
            using (Enter())
                Native.Check(Native.ynet_client_release(m_Handle));
        }

        /// <summary>Closes gracefully and waits for the receive thread to end.</summary>
        public void WaitRelease()
        {
            using (Enter())
                Native.Check(Native.ynet_client_wait_release(m_Handle));
        }

        /// <summary>Ends the connection and the calls under way on other threads (a Connect too), waits for
        /// them and for the receive thread, and frees the client; later calls throw ObjectDisposedException.</summary>
        public void Dispose()
        {
            int self = Thread.CurrentThread.ManagedThreadId;
            if (m_Dispatcher.ReceiveThread == self || m_Dispatcher.ConnectingThread == self)
                throw new YNetException(YNetException.State,
                                        "Dispose: not allowed from the client's own handlers (it would wait for its own thread)");
            lock (m_Calls) {
                if (m_Calls.Contains(self))
                    throw new YNetException(YNetException.State,
                                            "Dispose: not allowed inside another call of this client on the same thread " +
                                                "(Connected comes inside Connect): it would wait for that call");
                m_Closing = true;
            }
            m_Dispatcher.Close();
            lock (m_Calls) {
                while (m_Calls.Count > 0) {
                    try {
                        Native.ynet_client_release(m_Handle); // a connect, a send on a full buffer, a WaitRelease end
                    } catch (ObjectDisposedException) {
                        // disposed by the process's exit meanwhile: its calls still leave
                    }
                    Monitor.Wait(m_Calls, 50);
                }
            }
            m_Handle.Dispose(); // no call holds it now: the client is destroyed here
        }

        private static void CloseAll()
        {
            List<WeakReference> live;
            lock (s_Live) {
                s_Exiting = true;
                live = new List<WeakReference>(s_Live);
            }
            foreach (var weak in live) {
                var handle = weak.Target as ClientHandle;
                if (handle != null)
                    handle.Dispose();
            }
            Library.SetLogSink(null);
            Native.ynet_stack_stop();
        }

        // The callbacks, on the receive thread: nothing may throw into the library.
        private static Dispatcher From(IntPtr user) { return (Dispatcher)GCHandle.FromIntPtr(user).Target; }

        private static int OnMessage(IntPtr user, IntPtr client, uint mainId, uint assistantId, uint flags, IntPtr body,
                                     int length)
        {
            Dispatcher dispatcher = From(user);
            try {
                var bytes = new byte[length];
                if (length > 0)
                    Marshal.Copy(body, bytes, 0, length);
                var message = new Message(mainId, assistantId, (MessageFlags)flags, bytes);
                EventHandler<MessageEventArgs> handler = dispatcher.MessageReceived;
                if (handler == null)
                    return dispatcher.Put(message) ? 0 : 1;
                Client owner = dispatcher.Owner;
                if (owner == null)
                    return 1;
                var args = new MessageEventArgs(message);
                handler(owner, args);
                return args.Cut ? 1 : 0;
            } catch (Exception error) {
                dispatcher.Error = error;
                return 1;
            }
        }

        private static void Raise(IntPtr user, Func<Dispatcher, EventHandler> which)
        {
            Dispatcher dispatcher = From(user);
            try {
                EventHandler handler = which(dispatcher);
                Client owner = handler != null ? dispatcher.Owner : null;
                if (owner != null)
                    handler(owner, EventArgs.Empty);
            } catch (Exception error) {
                dispatcher.Error = error;
            }
        }

        private static void OnCut(IntPtr user, IntPtr client) { Raise(user, d => d.ConnectionCut); }

        private static void OnThreadBegin(IntPtr user, IntPtr client) { } // the thread is known from ThreadStarted on

        private static void OnThreadEnd(IntPtr user, IntPtr client)
        {
            From(user).Put(null); // after the last message
        }

        // ThreadStarted is the receive thread's first callback (before
        // on_thread_begin), ThreadEnded its last (after on_thread_end): the
        // thread is known as the receive thread from the one to the other, so
        // that what would wait for it is refused there too.
        private static void OnNotify(IntPtr user, IntPtr client, uint what)
        {
            Dispatcher dispatcher = From(user);
            if (what == 1) {
                dispatcher.Begin(); // before the new receive thread's first message
                dispatcher.ConnectingThread = Thread.CurrentThread.ManagedThreadId;
                Raise(user, d => d.Connected);
                dispatcher.ConnectingThread = 0;
            } else if (what == 2) {
                dispatcher.ReceiveThread = Thread.CurrentThread.ManagedThreadId;
                Raise(user, d => d.ThreadStarted);
            } else if (what == 3) {
                Raise(user, d => d.ThreadEnded);
                dispatcher.ReceiveThread = 0;
            }
        }
    }

    /// <summary>The library's version, log sink, and the head and scrambler helpers.</summary>
    public static class Library
    {
        private static Native.LogFn s_Sink; // held while the library may call it

        /// <summary>major &lt;&lt; 16 | minor &lt;&lt; 8 | patch.</summary>
        public static uint Version { get { return Native.ynet_version(); } }

        /// <summary>The library's log lines go to sink (from any thread); null: to stderr again.</summary>
        public static void SetLogSink(Action<string> sink)
        {
            Native.LogFn thunk = null;
            if (sink != null) {
                thunk = (user, line) => {
                    try {
                        sink(Marshal.PtrToStringAnsi(line));
                    } catch (Exception) {
                        // a log line is not worth a crash
                    }
                };
            }
            lock (typeof(Library)) {
                Native.LogFn old = s_Sink;
                Native.Check(Native.ynet_set_log_sink(thunk, IntPtr.Zero));
                s_Sink = thunk;
                GC.KeepAlive(old); // called no more once the call has returned
            }
        }

        /// <summary>The 4-byte wire head of a message of size bytes in all.</summary>
        public static byte[] PackHead(uint size, uint mainId, uint assistantId, MessageFlags flags)
        {
            var head = new Native.Head { Size = size, MainId = mainId, AssistantId = assistantId, Flags = (uint)flags };
            var bytes = new byte[4];
            Native.Check(Native.ynet_head_pack(ref head, bytes));
            return bytes;
        }

        /// <summary>The scrambled body (the bytes after the head), as it travels.</summary>
        public static byte[] Encode(byte[] body) { return Scramble(body, true); }

        public static byte[] Decode(byte[] body) { return Scramble(body, false); }

        private static byte[] Scramble(byte[] body, bool encode)
        {
            var copy = (byte[])body.Clone();
            Native.Check(encode ? Native.ynet_encode(copy, copy.Length) : Native.ynet_decode(copy, copy.Length));
            return copy;
        }
    }
}
