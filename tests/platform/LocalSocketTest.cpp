#include "platform/LocalSocket.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using platform::TLocalSocket;

namespace {

// A listening socket in a fresh private folder, removed at the end.
class TListener {
public:
    TListener() {
        char pattern[] = "/tmp/ravel_lsock_XXXXXX";
        folder = ::mkdtemp(pattern);
        path = folder + "/s";
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, path.size());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    ~TListener() {
        ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
    std::unique_ptr<TLocalSocket> Accept() {
        return TLocalSocket::Adopt(::accept(fd, nullptr, nullptr));
    }
    std::string folder, path;
    int fd;
};

} // namespace

TEST(LocalSocket, ConnectSendReceiveAndClose) {
    TListener listener;
    std::string error;
    auto client = TLocalSocket::Connect(listener.path, &error);
    ASSERT_TRUE(client) << error;
    auto server = listener.Accept();
    ASSERT_TRUE(client->SendAll("hello", &error)) << error;
    char buffer[16];
    std::string got;
    while (got.size() < 5) {
        const auto n = server->Receive(buffer, sizeof buffer, &error);
        ASSERT_GT(n, 0) << error;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "hello");
    client->ShutdownSend();
    EXPECT_EQ(server->Receive(buffer, sizeof buffer), 0);
    // Sending to a closed peer fails with a text, never a SIGPIPE.
    server.reset();
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) {
        failed = !client->SendAll(std::string(65536, 'x'), &error);
    }
    EXPECT_TRUE(failed);
    EXPECT_FALSE(error.empty());
}

TEST(LocalSocket, UnreachableAndInvalidPathsFailWithTheirName) {
    struct TCase {
        std::string path;
        const char* text;
    };
    const TCase cases[] = {
        {"/nonexistent/ravel/socket", "/nonexistent/ravel/socket"},
        {"", "invalid local socket path"},
        {std::string(200, 'a'), "invalid local socket path"},
        {"/etc/passwd", "/etc/passwd"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(TLocalSocket::Connect(c.path, &error));
        EXPECT_NE(error.find(c.text), std::string::npos) << error;
    }
    // A socket file whose listener is gone (a stale endpoint).
    std::string stale;
    {
        TListener listener;
        stale = listener.path;
        ::close(listener.fd);
        listener.fd = -1;
        std::string error;
        EXPECT_FALSE(TLocalSocket::Connect(stale, &error));
        EXPECT_NE(error.find("refused"), std::string::npos) << error;
    }
}

TEST(LocalSocket, HandlesStayAboveStandardStreams) {
    TListener listener;
    const int savedIn = ::dup(0);
    ::close(0);
    auto client = TLocalSocket::Connect(listener.path);
    ::dup2(savedIn, 0);
    ::close(savedIn);
    ASSERT_TRUE(client);
    EXPECT_GT(client->Handle(), 2);
}
