#include "platform/LocalSocket.h"
#include "platform/ToolProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

namespace {

// A fresh folder for a listening socket, removed at the end.
struct TSocketFolder {
    TSocketFolder() {
        char pattern[] = "/tmp/ravel_lsn_XXXXXX";
        folder = ::mkdtemp(pattern);
    }
    ~TSocketFolder() { std::system(("rm -rf '" + folder + "'").c_str()); }
    std::string folder;
};

} // namespace

TEST(LocalListener, AcceptsConnectionsOfThisUser) {
    TSocketFolder dir;
    const std::string path = dir.folder + "/e";
    auto listener = platform::TLocalListener::Listen(path);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(listener->Accept(0));
    std::string error;
    auto client = TLocalSocket::Connect(path, &error);
    ASSERT_TRUE(client) << error;
    auto server = listener->Accept(5000);
    ASSERT_TRUE(server);
    EXPECT_GT(server->Handle(), 2);
    EXPECT_FALSE(server->WaitReadable(0));
    EXPECT_FALSE(server->PeerClosed());
    ASSERT_TRUE(client->SendAll("x"));
    EXPECT_TRUE(server->WaitReadable(5000));
    client.reset();
    EXPECT_TRUE(server->PeerClosed());
    listener.reset();
    EXPECT_NE(::access(path.c_str(), F_OK), 0); // the file went with the listener
}

TEST(LocalListener, ReplacesOnlyItsOwnStaleSocket) {
    TSocketFolder dir;
    const std::string path = dir.folder + "/e";
    // As a crashed build leaves it: the first listener is not closed before the next.
    const auto crashed = platform::TLocalListener::Listen(path);
    auto again = platform::TLocalListener::Listen(path);
    ASSERT_TRUE(again);
    const std::string file = dir.folder + "/f";
    ASSERT_EQ(std::system(("touch '" + file + "'").c_str()), 0);
    EXPECT_ANY_THROW(platform::TLocalListener::Listen(file));
    EXPECT_EQ(::access(file.c_str(), F_OK), 0); // not removed
    EXPECT_ANY_THROW(platform::TLocalListener::Listen(dir.folder + "/" + std::string(120, 'n')));
}

TEST(LocalListener, RefusesAPeerOfAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    TSocketFolder dir;
    ASSERT_EQ(::chmod(dir.folder.c_str(), 0755), 0);
    const std::string path = dir.folder + "/e";
    auto listener = platform::TLocalListener::Listen(path);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0); // only the credentials stand in the way now
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        auto socket = TLocalSocket::Connect(path);
        if (!socket) {
            ::_exit(3);
        }
        char byte;
        // The listener closes it: end of stream.
        ::_exit(socket->Receive(&byte, 1) == 0 ? 0 : 4);
    }
    ASSERT_GT(child, 0);
    EXPECT_FALSE(listener->Accept(2000));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(listener->Refused(), 1u);
}

TEST(LocalListener, RuntimeFolderIsPrivateAndShort) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    TSocketFolder dir;
    ASSERT_EQ(::chmod(dir.folder.c_str(), 0700), 0);
    ::setenv("XDG_RUNTIME_DIR", dir.folder.c_str(), 1);
    EXPECT_EQ(platform::PrivateRuntimeFolder(20), dir.folder);
    const std::string fallback = "/tmp/morvek-" + std::to_string(::geteuid());
    // Open to others, or too long for the name: the private fallback.
    ASSERT_EQ(::chmod(dir.folder.c_str(), 0755), 0);
    EXPECT_EQ(platform::PrivateRuntimeFolder(20), fallback);
    ASSERT_EQ(::chmod(dir.folder.c_str(), 0700), 0);
    EXPECT_EQ(platform::PrivateRuntimeFolder(90), fallback);
    struct stat st {};
    ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

// A tool run that watches a connection: told to stop, the tool's whole process group
// ends; either way the connection is still the caller's afterwards.
TEST(LocalSocket, AToolRunWatchingAConnectionStopsOnItAndLeavesItOpen) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "ends by itself");
        TListener listener;
        std::string error;
        auto client = TLocalSocket::Connect(listener.path, &error);
        ASSERT_TRUE(client) << error;
        auto server = listener.Accept();
        if (stop) {
            ASSERT_TRUE(server->SendAll("x", &error)) << error;
        }
        platform::TToolWatch watch;
        watch.Socket = client.get();
        int calls = 0;
        watch.Readable = [&] {
            ++calls;
            char byte = 0;
            client->Receive(&byte, 1);
            return platform::TWatchVerdict::StopTool;
        };
        // A child of the tool keeps the output open until the group ends.
        const std::string script = stop ? "sleep 30 & wait" : "exit 3";
        const platform::TToolExit exit = platform::RunTool(
            "/bin/sh", {"sh", "-c", script}, {"PATH=/usr/bin:/bin"},
            [](int, std::string_view) { return true; }, &watch);
        ASSERT_TRUE(exit.Started) << exit.Error;
        EXPECT_EQ(calls, stop ? 1 : 0);
        EXPECT_EQ(exit.ExitCode, stop ? 128 + SIGTERM : 3);
        ASSERT_TRUE(client->SendAll("after", &error)) << error;
        char buffer[8];
        EXPECT_EQ(server->Receive(buffer, sizeof buffer, &error), 5) << error;
    }
}
