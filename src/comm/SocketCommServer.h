#pragma once
// The service end of a comm pipe on a local stream socket that every user may
// connect to: requests arrive as channel messages (MessageFrame.h) on a connection,
// run through the method map on the queue's thread, and their replies go back over
// the same connection. The caller of each request is the user (and process) that
// the kernel names for the connection, never anything the request says.
//
// One thread moves the bytes: it accepts connections, reads and frames requests,
// and writes the replies that the queue's thread hands it. Every limit is hard: a
// connection with a malformed or oversized message is closed, one that does not
// read its replies is closed once they pile up, a user holds a bounded number of
// connections and a connection a bounded number of unanswered requests. The
// socket is put back when someone removes it.
#include "comm/CommPipe.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace platform {
class TLocalListener;
class TLocalSocket;
} // namespace platform

namespace comm {

class TSocketCommServer : public TCommPipe {
public:
    struct TLimits {
        std::uint32_t MessageBytes = 16u << 20;
        std::size_t ReplyBytes = 16u << 20; // unsent replies of one connection
        std::size_t Connections = 1024;
        std::size_t ConnectionsPerUser = 32;
        std::size_t PendingPerConnection = 16;
        std::uint32_t RecheckMs = 2000; // how often the socket's path is looked at
    };

    // Listens at `path` in `folder` (made this user's service folder first). Raises
    // when another process serves the path already.
    TSocketCommServer(std::string folder, std::string path, core::TNotifyQueue& queue,
                      TLimits limits);
    TSocketCommServer(std::string folder, std::string path, core::TNotifyQueue& queue)
        : TSocketCommServer(std::move(folder), std::move(path), queue, TLimits{}) {}
    ~TSocketCommServer() override;

    std::unique_ptr<TPacketChannelMessage> WaitForReply(std::uint32_t messageId,
                                                        std::uint32_t timeoutMs) override;
    std::uint32_t Send(const packets::TPacket& packet, std::uint32_t messageId,
                       std::uint8_t flags) override;
    void CheckConnected() override {}
    void Terminate() override;

    const std::string& Path() const { return path; }
    // Connections open now, and closed for breaking a limit or the format so far.
    std::size_t Connections() const { return open.load(); }
    std::size_t Dropped() const { return dropped.load(); }
    // Times the socket was put back after it had gone from its path.
    std::size_t Restored() const { return restored.load(); }

protected:
    std::string_view PipeClassName() const override { return "TSocketCommServer"; }

private:
    struct TConnection;
    void Listen();
    void Loop();
    void Wake();
    void Execute(const std::shared_ptr<TConnection>& connection,
                 std::unique_ptr<TPacketChannelMessage> message);

    std::string folder;
    std::string path;
    TLimits limits;
    std::unique_ptr<platform::TLocalListener> listener;
    std::unique_ptr<platform::TLocalSocket> wakeSend;
    std::unique_ptr<platform::TLocalSocket> wakeReceive;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> open{0};
    std::atomic<std::size_t> dropped{0};
    std::atomic<std::size_t> restored{0};
    std::thread io;
};

} // namespace comm
