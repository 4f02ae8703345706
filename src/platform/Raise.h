#pragma once
// Every error the programs raise goes through Raise, so that it can be logged where
// it is raised, with the error's own type, on every system.
#include <exception>
#include <type_traits>
#include <utility>

namespace platform {

// Told of each error raised through Raise, before it is thrown. It must not throw.
using TRaiseObserver = void (*)(const std::exception& error);
void SetRaiseObserver(TRaiseObserver observer);

// Tells the observer of `error`; a raise while the observer runs is not told again.
void NotifyRaise(const std::exception& error) noexcept;

// Throws `error` after telling the observer. Kept out of line, so that a call
// trace taken by the observer has a fixed number of frames above the raise.
template <typename E> [[noreturn, gnu::noinline]] void Raise(E&& error) {
    if constexpr (std::is_base_of_v<std::exception, std::decay_t<E>>) {
        NotifyRaise(error);
    }
    throw std::forward<E>(error);
}

} // namespace platform
