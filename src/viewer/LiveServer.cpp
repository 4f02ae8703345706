#include "viewer/LiveServer.h"

#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Random.h"

#include <httplib.h>

#include <array>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace viewer {

namespace {
// A comment line now and then, so a connection whose page is gone is noticed.
constexpr auto KeepAlive = std::chrono::seconds(10);

// Compares without returning early, so the time taken says nothing about the token.
bool SameToken(std::string_view given, std::string_view token) {
    if (given.size() != token.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return diff == 0;
}
} // namespace

std::string NewAccessToken() {
    std::array<unsigned char, 32> bytes{};
    std::string error;
    if (!platform::RandomBytes(bytes.data(), bytes.size(), nullptr, &error)) {
        core::Raise(core::EGeneralError("No random access token for the live view: " + error));
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += Hex[b >> 4];
        token += Hex[b & 15];
    }
    return token;
}

struct TLiveServer::TState {
    httplib::Server server;
    std::thread thread;
    std::string token;
    int port = 0;
    TPageWriter page;

    mutable std::mutex lock;
    std::condition_variable changed;
    std::shared_ptr<const std::string> data = std::make_shared<const std::string>("{}");
    std::uint64_t dataVersion = 0;            // of the newest whole document
    std::shared_ptr<const std::string> delta; // on version - 1; null when there is none
    std::uint64_t version = 0;
    bool wholeWanted = false; // a page waits for a whole document of the newest version
    bool final = false;
    bool stopping = false;
    int streams = 0;
    std::uint64_t lastActivity = platform::GetTickCount64();

    void Touch() {
        std::lock_guard<std::mutex> hold(lock);
        lastActivity = platform::GetTickCount64();
    }
};

TLiveServer::TLiveServer(TPageWriter page) : state(std::make_shared<TState>()) {
    state->token = NewAccessToken();
    state->page = std::move(page);
    httplib::Server& server = state->server;
    TState* s = state.get();
    const std::string prefix = "/" + s->token + "/";

    server.set_pre_routing_handler(
        [s](const httplib::Request& request, httplib::Response& response) {
            s->Touch();
            const std::string_view path = request.path;
            const bool allowed = path.size() > s->token.size() + 1 && path[0] == '/' &&
                                 SameToken(path.substr(1, s->token.size()), s->token) &&
                                 path[s->token.size() + 1] == '/';
            if (!allowed) {
                response.status = 403;
                response.set_content("Forbidden: this address needs the live view's token.\n",
                                     "text/plain; charset=utf-8");
                return httplib::Server::HandlerResponse::Handled;
            }
            response.set_header("Cache-Control", "no-store");
            response.set_header("X-Content-Type-Options", "nosniff");
            response.set_header("Referrer-Policy", "no-referrer");
            return httplib::Server::HandlerResponse::Unhandled;
        });

    server.Get(prefix, [s](const httplib::Request&, httplib::Response& response) {
        std::shared_ptr<const std::string> data;
        {
            std::lock_guard<std::mutex> hold(s->lock);
            data = s->data;
            // An older document will do: its events bring the page up to date.
            s->wholeWanted = s->wholeWanted || s->dataVersion != s->version;
        }
        std::string html;
        s->page(*data, [&](std::string_view text) { html.append(text); });
        response.set_content(html, "text/html; charset=utf-8");
    });

    server.Get(
        prefix + "events", [s](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard<std::mutex> hold(s->lock);
                ++s->streams;
            }
            // The update the page holds: a reconnect names the last event it received.
            const std::string held = request.has_header("Last-Event-ID")
                                         ? request.get_header_value("Last-Event-ID")
                                         : request.get_param_value("since");
            auto sent = std::make_shared<std::uint64_t>(0);
            std::from_chars(held.data(), held.data() + held.size(), *sent);
            response.set_chunked_content_provider(
                "text/event-stream",
                [s, sent](std::size_t, httplib::DataSink& sink) {
                    std::shared_ptr<const std::string> data;
                    std::uint64_t version = 0;
                    bool last = false;
                    {
                        std::unique_lock<std::mutex> hold(s->lock);
                        const auto follows = [&] { return s->delta && *sent + 1 == s->version; };
                        const bool news = s->changed.wait_for(hold, KeepAlive, [&] {
                            if (s->stopping || s->version == *sent) {
                                return s->stopping;
                            }
                            if (follows() || s->dataVersion == s->version) {
                                return true;
                            }
                            s->wholeWanted = true; // made on the next update
                            return false;
                        });
                        if (s->stopping) {
                            return false;
                        }
                        if (news) {
                            data = follows() ? s->delta : s->data;
                            version = *sent = s->version;
                            last = s->final;
                        }
                    }
                    if (!data) {
                        static constexpr std::string_view Ping = ": waiting for the build\n\n";
                        return sink.write(Ping.data(), Ping.size());
                    }
                    std::string message;
                    message.reserve(data->size() + 40);
                    message.append("id: ").append(std::to_string(version)).append("\ndata: ");
                    message.append(*data).append("\n\n");
                    if (!sink.write(message.data(), message.size())) {
                        return false;
                    }
                    if (last) {
                        sink.done();
                    }
                    return true;
                },
                [s](bool) {
                    std::lock_guard<std::mutex> hold(s->lock);
                    --s->streams;
                    s->lastActivity = platform::GetTickCount64();
                });
        });

    s->port = server.bind_to_any_port("127.0.0.1");
    if (s->port <= 0) {
        core::Raise(core::EGeneralError("The live view cannot listen on 127.0.0.1."));
    }
    s->thread = std::thread([s] { s->server.listen_after_bind(); });
}

TLiveServer::~TLiveServer() {
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->stopping = true;
    }
    state->changed.notify_all();
    state->server.stop();
    if (state->thread.joinable()) {
        state->thread.join();
    }
}

std::string TLiveServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(state->port) + "/" + state->token + "/";
}

int TLiveServer::Port() const {
    return state->port;
}

void TLiveServer::Publish(TLiveUpdate update, bool final) {
    std::shared_ptr<const std::string> whole;
    if (!update.Whole.empty()) {
        whole = std::make_shared<const std::string>(std::move(update.Whole));
    }
    std::shared_ptr<const std::string> delta;
    if (!update.Delta.empty()) {
        delta = std::make_shared<const std::string>(std::move(update.Delta));
    }
    {
        std::lock_guard<std::mutex> hold(state->lock);
        if (state->final) {
            return;
        }
        // A delta holds only on the update just before it.
        state->delta = update.Version == state->version + 1 ? std::move(delta) : nullptr;
        if (whole) {
            state->data = std::move(whole);
            state->dataVersion = update.Version;
            state->wholeWanted = false;
        }
        state->final = final;
        state->version = update.Version;
    }
    state->changed.notify_all();
}

bool TLiveServer::WholeWanted() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->wholeWanted;
}

int TLiveServer::OpenStreams() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->streams;
}

std::uint64_t TLiveServer::IdleMs() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->streams > 0 ? 0 : platform::GetTickCount64() - state->lastActivity;
}

} // namespace viewer
