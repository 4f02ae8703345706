#include "platform/Network.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A loopback TCP service on a free port that answers each connection once and closes it.
class TService {
public:
    explicit TService(std::string answer) : answer(std::move(answer)) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    ~TService() { ::close(fd); }
    // Serves one connection: reads the request's first bytes, answers, closes.
    std::thread ServeOne() {
        return std::thread([this] {
            const int client = ::accept(fd, nullptr, nullptr);
            char buffer[64];
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            received.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            (void)::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(client);
        });
    }
    std::uint16_t port = 0;
    std::string received;

private:
    std::string answer;
    int fd = -1;
};

TEST(Network, ExchangeSendsTheRequestAndReadsTheWholeAnswer) {
    TService service("pong\n");
    std::thread serving = service.ServeOne();
    std::string error;
    const auto reply = platform::TcpExchange("127.0.0.1", service.port, "ping", 5000, 1024, error);
    serving.join();
    ASSERT_TRUE(reply) << error;
    EXPECT_EQ(*reply, "pong\n");
    EXPECT_EQ(service.received, "ping");
}

TEST(Network, AnAnswerLargerThanAllowedIsAnError) {
    TService service(std::string(5000, 'x'));
    std::thread serving = service.ServeOne();
    std::string error;
    const auto reply = platform::TcpExchange("127.0.0.1", service.port, "ping", 5000, 100, error);
    serving.join();
    EXPECT_FALSE(reply);
    EXPECT_NE(error.find("larger than 100 bytes"), std::string::npos) << error;
}

TEST(Network, AClosedPortIsReportedNotReached) {
    std::uint16_t closed = 0;
    {
        TService gone("");
        closed = gone.port; // nobody listens once it is closed
    }
    std::string error;
    EXPECT_FALSE(platform::TcpProbe("127.0.0.1", closed, 2000, error));
    EXPECT_NE(error.find(std::to_string(closed)), std::string::npos) << error;
    EXPECT_FALSE(platform::TcpExchange("127.0.0.1", closed, "ping", 2000, 100, error));

    TService open("");
    EXPECT_TRUE(platform::TcpProbe("127.0.0.1", open.port, 2000, error)) << error;
}

} // namespace
