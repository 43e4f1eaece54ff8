// A server that holds every connection it accepts, for the scale benchmark:
// it greets each new connection with one message and closes its end when
// the client closes. It runs in a process of its own (the descriptors of
// both ends of 10,000 connections would not fit one process's limit), on
// the system's calls (POSIX only), apart from this library's headers.
#pragma once

#include <vector>

namespace BenchNet {

// The server's process body: listens on an ephemeral loopback port, writes
// "port N" on its standard output, and serves until its standard input
// ends. Returns the process's exit status.
int RunHoldingServer(const std::vector<unsigned char>& greeting);

// Starts `program --serve` as a child process and reads its port. False
// when it could not.
bool StartServerProcess(const char* program, int* port);
// Ends the child (closes its standard input) and waits for it.
void StopServerProcess();

} // namespace BenchNet
