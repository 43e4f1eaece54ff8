// HoldingServer on Linux: one thread, epoll, non-blocking sockets.
#include "support/HoldingServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace BenchNet {
namespace {

pid_t g_Child = -1;
int g_ChildInput = -1;

void Serve(int listener, const std::vector<unsigned char>& greeting) {
    const int poller = epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = STDIN_FILENO; // ends the server when it closes
    epoll_ctl(poller, EPOLL_CTL_ADD, STDIN_FILENO, &event);
    epoll_event ready[256];
    for (;;) {
        const int n = epoll_wait(poller, ready, 256, -1);
        if (n < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == STDIN_FILENO)
                return;
            if (fd == listener) {
                int accepted;
                while ((accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    // A new socket's send buffer takes one small message whole.
                    if (send(accepted, greeting.data(), greeting.size(), MSG_NOSIGNAL) !=
                        static_cast<ssize_t>(greeting.size())) {
                        close(accepted);
                        continue;
                    }
                    epoll_event watch{};
                    watch.events = EPOLLIN | EPOLLRDHUP;
                    watch.data.fd = accepted;
                    epoll_ctl(poller, EPOLL_CTL_ADD, accepted, &watch);
                }
                continue;
            }
            char sink[256];
            const ssize_t got = recv(fd, sink, sizeof(sink), 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                close(fd); // the client closed: so does the server
        }
    }
}

} // namespace

int RunHoldingServer(const std::vector<unsigned char>& greeting) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, SOMAXCONN) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 1;
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    Serve(listener, greeting);
    return 0;
}

bool StartServerProcess(const char* program, int* port) {
    int input[2], output[2];
    if (pipe(input) != 0 || pipe(output) != 0)
        return false;
    g_Child = fork();
    if (g_Child == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        close(input[1]);
        close(output[0]);
        execl(program, program, "--serve", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    g_ChildInput = input[1];
    FILE* answer = fdopen(output[0], "r");
    const bool started = g_Child > 0 && answer != nullptr && std::fscanf(answer, "port %d", port) == 1;
    if (answer != nullptr)
        std::fclose(answer);
    if (!started)
        StopServerProcess();
    return started;
}

void StopServerProcess() {
    if (g_ChildInput >= 0)
        close(g_ChildInput);
    g_ChildInput = -1;
    if (g_Child > 0)
        waitpid(g_Child, nullptr, 0);
    g_Child = -1;
}

} // namespace BenchNet
