#pragma once
// The live page's web server: HTTP on 127.0.0.1 only, on a free port, every request
// carrying a random token as the first part of its path ("/<token>/" the page,
// "/<token>/events" its server-sent events); anything else is refused with 403. The
// build's data is published as numbered updates; an events connection that holds the
// update before the newest (named by "?since=N" or the Last-Event-ID of a reconnect)
// gets what changed, any other the whole document (asked for from the next update when
// the newest has none). Its stream ends after the final one.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "viewer/LiveUpdates.h"

namespace viewer {

class TLiveServer {
public:
    // Writes the page around a data document.
    using TPageWriter =
        std::function<void(std::string_view data, const std::function<void(std::string_view)>&)>;

    // Binds and starts serving on threads of its own. Raises when it cannot.
    explicit TLiveServer(TPageWriter page);
    // Ends every connection and stops serving.
    ~TLiveServer();
    TLiveServer(const TLiveServer&) = delete;
    TLiveServer& operator=(const TLiveServer&) = delete;

    // "http://127.0.0.1:<port>/<token>/"
    std::string Url() const;
    int Port() const;

    // From any thread. `final`: no update follows (the build has ended); it carries the
    // whole document.
    void Publish(TLiveUpdate update, bool final);

    // Whether a page waits for a whole document newer than the last one published:
    // the next update should carry one.
    bool WholeWanted() const;

    // Events connections open now.
    int OpenStreams() const;
    // Milliseconds since the last request began or the last events connection ended.
    std::uint64_t IdleMs() const;

private:
    struct TState;
    std::shared_ptr<TState> state;
};

// 64 hexadecimal digits from the system's random generator. Raises when it fails.
std::string NewAccessToken();

} // namespace viewer
