#include "comm/SocketCommServer.h"

#include "comm/MessageFrame.h"
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/LocalSocket.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace comm {

namespace {
constexpr std::size_t ReadChunk = 64 * 1024;
constexpr int AcceptsPerRound = 64;
constexpr std::uint32_t IdleWaitMs = 1000;
} // namespace

struct TSocketCommServer::TConnection {
    TConnection(std::unique_ptr<platform::TLocalSocket> socket, platform::TPeerCredentials peer,
                std::uint32_t maxMessage)
        : Socket(std::move(socket)), Peer(peer), Reader(maxMessage) {}

    // Touched by the I/O thread only.
    std::unique_ptr<platform::TLocalSocket> Socket;
    const platform::TPeerCredentials Peer;
    TMessageFrameReader Reader;
    bool PeerDone = false;
    // Shared with the queue's thread.
    std::mutex Mutex;
    std::string Out;
    bool Closed = false;
    bool Overflow = false;
    std::atomic<std::size_t> Pending{0};
};

TSocketCommServer::TSocketCommServer(std::string folderPath, std::string socketPath,
                                     core::TNotifyQueue& queue, TLimits given)
    : TCommPipe(queue), folder(std::move(folderPath)), path(std::move(socketPath)), limits(given) {
    std::string why;
    if (!platform::TLocalSocket::Pair(wakeSend, wakeReceive, &why)) {
        core::Raise(core::EGeneralError("Cannot serve requests: " + why));
    }
    Listen();
    SetState(TCommState::Connected);
    io = std::thread([this] { Loop(); });
}

TSocketCommServer::~TSocketCommServer() {
    stopping = true;
    Wake();
    if (io.joinable()) {
        io.join();
    }
    queue.Remove(this);
    listener.reset();
}

void TSocketCommServer::Listen() {
    std::string why;
    if (!platform::EnsureServiceDirectory(folder, &why)) {
        core::Raise(core::EGeneralError("Cannot serve requests at " + path + ": " + why));
    }
    // A live server keeps its socket: a second one does not take it over.
    if (const auto probe = platform::TLocalSocket::Connect(path)) {
        const auto peer = probe->Peer();
        core::Raise(
            core::EGeneralError("The socket " + path + " is already served by a running process" +
                                (peer ? " (pid " + std::to_string(peer->ProcessId) + ")" : "")));
    }
    listener.reset();
    try {
        listener =
            platform::TLocalListener::Listen(path, platform::TLocalListener::TPeers::EveryUser);
    } catch (const std::exception& e) {
        core::Raise(core::EGeneralError("Cannot serve requests at " + path + ": " + e.what()));
    }
}

void TSocketCommServer::Wake() {
    const char byte = 1;
    // A full wake pipe already wakes the thread.
    wakeSend->SendNow(std::string_view(&byte, 1));
}

std::unique_ptr<TPacketChannelMessage> TSocketCommServer::WaitForReply(std::uint32_t,
                                                                       std::uint32_t) {
    core::Raise(core::EGeneralError("A service connection does not wait for replies"));
}

std::uint32_t TSocketCommServer::Send(const packets::TPacket&, std::uint32_t, std::uint8_t) {
    core::Raise(core::EGeneralError("A service connection sends replies only"));
}

void TSocketCommServer::Terminate() {
    stopping = true;
    Wake();
    SetState(TCommState::Terminated);
}

void TSocketCommServer::Execute(const std::shared_ptr<TConnection>& connection,
                                std::unique_ptr<TPacketChannelMessage> message) {
    const TReplySender send = [this, connection](const packets::TPacket& packet, std::uint32_t id,
                                                 std::uint8_t flags) -> std::uint32_t {
        const std::string bytes = EncodeMessage(packet, flags, id);
        {
            const std::lock_guard lock(connection->Mutex);
            if (connection->Closed || connection->Overflow) {
                return 0;
            }
            if (connection->Out.size() + bytes.size() > limits.ReplyBytes) {
                connection->Overflow = true;
                Wake();
                return 0;
            }
            connection->Out += bytes;
        }
        Wake();
        return std::max<std::uint32_t>(id, 1);
    };
    try {
        ExecuteMessage(*message, send, connection->Peer.UserId, connection->Peer.ProcessId);
    } catch (const std::exception& e) {
        core::Log().Warning("Request of process " + std::to_string(connection->Peer.ProcessId) +
                            " failed\r\n" + e.what());
    }
    --connection->Pending;
    Wake();
}

void TSocketCommServer::Loop() {
    std::vector<std::shared_ptr<TConnection>> connections;
    std::uint64_t nextCheck = platform::GetTickCount64() + limits.RecheckMs;
    std::vector<char> chunk(ReadChunk);

    auto close = [&](TConnection& c, const std::string& why) {
        {
            const std::lock_guard lock(c.Mutex);
            c.Closed = true;
        }
        if (!why.empty()) {
            ++dropped;
            core::Log().Warning("Connection of user " + std::to_string(c.Peer.UserId) + " (pid " +
                                std::to_string(c.Peer.ProcessId) + ") closed: " + why);
        }
    };
    // Frames what was read, as long as the connection may have more requests waiting.
    auto frame = [&](const std::shared_ptr<TConnection>& c) {
        try {
            while (c->Pending < limits.PendingPerConnection) {
                std::unique_ptr<TPacketChannelMessage> message = c->Reader.Next();
                if (!message) {
                    return;
                }
                if (message->Flags & mfReply) {
                    close(*c, "a client sent a reply");
                    return;
                }
                ++c->Pending;
                auto shared =
                    std::make_shared<std::unique_ptr<TPacketChannelMessage>>(std::move(message));
                queue.Post({this, "TSocketCommServer"}, "Execute",
                           [this, c, shared] { Execute(c, std::move(*shared)); });
            }
        } catch (const std::exception& e) {
            close(*c, e.what());
        }
    };

    while (!stopping) {
        std::vector<platform::TPollItem> items;
        items.push_back({wakeReceive->Handle(), true, false});
        const bool accepting = listener && connections.size() < limits.Connections;
        if (accepting) {
            items.push_back({listener->Handle(), true, false});
        }
        const std::size_t first = items.size();
        for (const auto& c : connections) {
            bool writing;
            {
                const std::lock_guard lock(c->Mutex);
                writing = !c->Out.empty();
            }
            const bool reading = !c->PeerDone && c->Pending < limits.PendingPerConnection &&
                                 c->Reader.Buffered() <= limits.MessageBytes;
            // Nothing to wait for: left out (a hung-up socket would end every wait at once).
            items.push_back({reading || writing ? c->Socket->Handle() : -1, reading, writing});
        }
        const std::uint64_t now = platform::GetTickCount64();
        const auto wait = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(IdleWaitMs, nextCheck > now ? nextCheck - now : 0));
        platform::TLocalSocket::Poll(items, wait);
        if (stopping) {
            break;
        }
        if (items[0].Readable) {
            while (wakeReceive->ReceiveNow(chunk.data(), chunk.size()) > 0) {
            }
        }
        if (accepting && items[1].Readable) {
            for (int n = 0; n < AcceptsPerRound && connections.size() < limits.Connections; ++n) {
                std::unique_ptr<platform::TLocalSocket> socket = listener->Accept(0);
                if (!socket) {
                    break;
                }
                const auto peer = socket->Peer();
                if (!peer) {
                    ++dropped;
                    continue;
                }
                const auto ofUser =
                    std::count_if(connections.begin(), connections.end(),
                                  [&](const auto& c) { return c->Peer.UserId == peer->UserId; });
                if (static_cast<std::size_t>(ofUser) >= limits.ConnectionsPerUser) {
                    ++dropped;
                    core::Log().Warning("Connection of user " + std::to_string(peer->UserId) +
                                        " refused: it holds " + std::to_string(ofUser) +
                                        " connections already");
                    continue;
                }
                connections.push_back(
                    std::make_shared<TConnection>(std::move(socket), *peer, limits.MessageBytes));
            }
        }
        for (std::size_t i = 0; i < connections.size() && first + i < items.size(); ++i) {
            const std::shared_ptr<TConnection>& c = connections[i];
            const platform::TPollItem& item = items[first + i];
            if (c->Closed) {
                continue;
            }
            if (item.Readable) {
                std::string why;
                const std::int64_t got = c->Socket->ReceiveNow(chunk.data(), chunk.size(), &why);
                if (got == 0) {
                    c->PeerDone = true;
                } else if (got > 0) {
                    c->Reader.Append(chunk.data(), static_cast<std::size_t>(got));
                } else if (got != platform::TLocalSocket::WouldBlock) {
                    close(*c, "");
                    continue;
                }
            } else if (item.Failed && !item.Writable) {
                c->PeerDone = true;
            }
            frame(c);
            if (c->Closed) {
                continue;
            }
            if (c->Reader.Buffered() > limits.MessageBytes + ReadChunk) {
                close(*c, "a message exceeds " + std::to_string(limits.MessageBytes) + " bytes");
                continue;
            }
            bool overflow;
            bool empty;
            {
                const std::lock_guard lock(c->Mutex);
                if (item.Writable && !c->Out.empty()) {
                    const std::int64_t sent = c->Socket->SendNow(c->Out);
                    if (sent < 0) {
                        c->Closed = true;
                    } else {
                        c->Out.erase(0, static_cast<std::size_t>(sent));
                    }
                }
                overflow = c->Overflow;
                empty = c->Out.empty();
            }
            if (overflow) {
                close(*c, "its replies are not read");
            } else if (c->PeerDone && empty && c->Pending == 0) {
                // What is left after the peer's end is no whole message.
                close(*c, "");
            }
        }
        std::erase_if(connections, [](const auto& c) {
            const std::lock_guard lock(c->Mutex);
            return c->Closed;
        });
        open = connections.size();
        if (platform::GetTickCount64() >= nextCheck) {
            nextCheck = platform::GetTickCount64() + limits.RecheckMs;
            if (!listener || !listener->StillAtPath()) {
                try {
                    Listen();
                    ++restored;
                    core::Log().Warning("The socket " + path + " had gone: serving it again");
                } catch (const std::exception& e) {
                    core::Log().Warning(e.what());
                }
            }
        }
    }
    for (const auto& c : connections) {
        close(*c, "");
    }
}

} // namespace comm
