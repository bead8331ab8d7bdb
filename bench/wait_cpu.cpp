// Measures the processor time a ReadLn spends while the peer stays silent: a listener thread
// accepts the connection and answers only after 2 s; the figure is the process's CPU time
// across the ReadLn, against the wall time it waited.
#include <QCoreApplication>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/psock.h"

namespace {

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Accepts one connection, stays silent for 2 s, sends one line and waits for the close.
void SilentPeer(int Listener) {
    const int s = ::accept(Listener, nullptr, nullptr);
    if (s < 0)
        return;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const char line[] = "220 after two seconds\r\n";
    (void)::send(s, line, sizeof line - 1, MSG_NOSIGNAL);
    char scratch[256];
    while (::recv(s, scratch, sizeof scratch, 0) > 0) {
    }
    ::close(s);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("wait_cpu: listener");
        return 1;
    }
    std::thread peer(SilentPeer, listener);

    int status = 0;
    try {
        TPowersock client;
        client.Host = "127.0.0.1";
        client.Port = ntohs(address.sin_port);
        client.TimeOut = 10000;
        client.Connect();

        const double cpu0 = ProcessCpuSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        const std::string line = client.ReadLn();
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
        const double cpu = ProcessCpuSeconds() - cpu0;

        std::printf("ReadLn waited %.3f s for %zu bytes; CPU %.3f ms, %.4f%% of a core\n",
                    wall.count(), line.size(), cpu * 1e3, 100 * cpu / wall.count());
        client.Disconnect();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wait_cpu: %s\n", e.what());
        status = 1;
    }
    // Unblocks the peer's accept should the connect have failed.
    ::shutdown(listener, SHUT_RDWR);
    peer.join();
    ::close(listener);
    return status;
}
