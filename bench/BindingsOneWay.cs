// The C# contender of bench/bindings.py: one-way receive of COUNT messages
// through dotnet/YonderNet.cs, every body byte summed.
//   mono BindingsOneWay.exe events|receive PORT COUNT    prints "SECONDS SUM"
using System;
using System.Diagnostics;
using System.Threading;
using YonderNet;

static class BindingsOneWay
{
    static ulong Sum(byte[] body)
    {
        ulong sum = 0;
        foreach (byte b in body)
            sum += b;
        return sum;
    }

    static int Main(string[] args)
    {
        long count = long.Parse(args[2]), got = 0;
        ulong sum = 0;
        var done = new ManualResetEventSlim();
        var clock = Stopwatch.StartNew();
        using (var client = new Client()) {
            if (args[0] == "events") {
                client.MessageReceived += (sender, e) => {
                    sum += Sum(e.Message.Body);
                    if (++got == count)
                        done.Set();
                };
                client.Connect("127.0.0.1:" + args[1]);
                done.Wait(300000);
            } else {
                client.Connect("127.0.0.1:" + args[1]);
                for (; got < count; ++got) {
                    Message message = client.ReceiveAsync().Result;
                    if (message == null)
                        break;
                    sum += Sum(message.Body);
                }
            }
            double seconds = clock.Elapsed.TotalSeconds;
            Console.WriteLine("{0:F6} {1}", got == count ? seconds : -1, sum);
            return got == count ? 0 : 1;
        }
    }
}
