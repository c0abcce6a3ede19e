// Opens N control connections and holds them, doing nothing, for a while.
//   idle_clients COUNT SECONDS [HOST] [PORT]
// Prints "connected N" once all are up.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "net/tcp_socket.h"
#include "server/protocol.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: idle_clients COUNT SECONDS [HOST] [PORT]\n");
        return 2;
    }
    int count = std::atoi(argv[1]);
    int seconds = std::atoi(argv[2]);
    const char* host = argc > 3 ? argv[3] : "127.0.0.1";
    auto port = static_cast<std::uint16_t>(argc > 4 ? std::atoi(argv[4]) : vextora::CONTROL_PORT);
    std::vector<vextora::TcpSocket> clients;
    clients.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        vextora::TcpSocket socket(true);
        if (!socket.connectTo(host, port, 5000)) {
            std::fprintf(stderr, "connection %d failed\n", i);
            return 1;
        }
        clients.push_back(socket);
    }
    std::printf("connected %d\n", count);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 0;
}
