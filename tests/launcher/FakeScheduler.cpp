#include "FakeScheduler.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/LocalSocket.h"

namespace launchertest {

TTempFolder::TTempFolder() {
    char pattern[] = "/tmp/ravel_launcher_XXXXXX";
    path = ::mkdtemp(pattern);
}

TTempFolder::~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string TTempFolder::Write(const std::string& name, const std::string& content,
                               bool executable) const {
    const std::string file = path + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary) << content;
    ::chmod(file.c_str(), executable ? 0755 : 0644);
    return file;
}

TFakeScheduler::TFakeScheduler(std::function<TAnswer(const core::TTaskBegin&)> answer)
    : answer(std::move(answer)) {
    char pattern[] = "/tmp/ravel_sched_XXXXXX";
    folder = ::mkdtemp(pattern);
    path = folder + "/ep";
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        std::abort();
    }
    thread = std::thread([this] { Serve(); });
}

TFakeScheduler::~TFakeScheduler() {
    StopListening();
    ::close(wake[0]);
    ::close(wake[1]);
    ::unlink(path.c_str());
    ::rmdir(folder.c_str());
}

void TFakeScheduler::StopListening() {
    if (thread.joinable()) {
        (void)!::write(wake[1], "x", 1);
        thread.join();
        ::close(listener);
        listener = -1;
    }
}

void TFakeScheduler::Serve() {
    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        auto socket =
            platform::TLocalSocket::Adopt(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        TConnection connection;
        core::TTaskFrameReader reader;
        char buffer[4096];
        bool answered = false;
        try {
            for (;;) {
                auto message = reader.Next();
                if (!message) {
                    pollfd p{socket->Handle(), POLLIN, 0};
                    if (::poll(&p, 1, 20000) <= 0) {
                        break;
                    }
                    const auto n = socket->Receive(buffer, sizeof buffer);
                    if (n <= 0) {
                        break;
                    }
                    reader.Append(std::string_view(buffer, static_cast<std::size_t>(n)));
                    continue;
                }
                if (const auto* output = std::get_if<core::TTaskOutput>(&*message)) {
                    (output->stream == 2 ? connection.Err : connection.Out) += output->bytes;
                    continue;
                }
                connection.Messages.push_back(*message);
                if (std::holds_alternative<core::TTaskEnd>(*message)) {
                    connection.ClosedBeforeEnd = false;
                    break;
                }
                if (const auto* begin = std::get_if<core::TTaskBegin>(&*message);
                    begin && !answered) {
                    answered = true;
                    const TAnswer a = answer(*begin);
                    if (a.Message) {
                        socket->SendAll(core::EncodeTaskFrame(*a.Message));
                        if (a.Close) {
                            break;
                        }
                    } else if (!a.RawBytes.empty()) {
                        socket->SendAll(a.RawBytes);
                    } else {
                        break;
                    }
                }
            }
        } catch (const core::ETaskProtocolError&) {
        }
        socket.reset();
        std::lock_guard lock(mutex);
        done.push_back(std::move(connection));
    }
}

std::vector<TConnection> TFakeScheduler::Connections(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (done.size() >= count || std::chrono::steady_clock::now() > deadline) {
                return done;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace launchertest
