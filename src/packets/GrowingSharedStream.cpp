#include "packets/GrowingSharedStream.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/CrashStack.h"
#include "platform/SharedObjects.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace packets {

namespace {

constexpr std::size_t ControlBlockSize = 52;
constexpr std::size_t OffLock = 4;
constexpr std::size_t OffDataSize = 12;
constexpr std::size_t OffAllocated = 20;
constexpr std::size_t OffRequested = 28;
constexpr std::size_t OffGeneration = 36;
constexpr std::size_t OffSectionSize = 44;

std::atomic<std::uint32_t> growRetries{1000};

std::uint32_t* Word(std::uint8_t* block, std::size_t offset) {
    return reinterpret_cast<std::uint32_t*>(block + offset);
}

std::uint32_t Load32(std::uint8_t* block, std::size_t offset) {
    return std::atomic_ref<std::uint32_t>(*Word(block, offset)).load(std::memory_order_acquire);
}

void Store32(std::uint8_t* block, std::size_t offset, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(*Word(block, offset)).store(value, std::memory_order_release);
}

// The 64-bit fields are only 4-byte aligned, so they are read as two words. A reader
// retries while the high word changes; the low word is written first, so a value
// caught in between reads low, never high.
std::int64_t Load64(std::uint8_t* block, std::size_t offset) {
    for (;;) {
        const std::uint32_t high = Load32(block, offset + 4);
        const std::uint32_t low = Load32(block, offset);
        if (Load32(block, offset + 4) == high) {
            return static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
        }
    }
}

void Store64(std::uint8_t* block, std::size_t offset, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    Store32(block, offset, static_cast<std::uint32_t>(bits));
    Store32(block, offset + 4, static_cast<std::uint32_t>(bits >> 32));
}

bool ValidSectionSize(std::uint32_t size) {
    return size >= MinSectionSize && size <= MaxSectionSize && (size & (size - 1)) == 0;
}

void CheckGrowth(std::int64_t size) {
    if (size < 0 || size > MaxSharedStreamSize) {
        core::Raise(core::EGeneralError("Shared stream cannot grow to " + std::to_string(size) +
                                        " bytes: its limit is " +
                                        std::to_string(MaxSharedStreamSize) + " bytes"));
    }
}

[[noreturn]] void RaiseSystem(const std::string& text, const std::system_error& e) {
    core::Raise(core::EOSError(text + ": " + e.what(), e.code().value()));
}

} // namespace

std::string SharedObjectName(const core::TGUID& id, std::int32_t session, std::string_view suffix,
                             bool native) {
    const std::string base = "Tavrix_" + id.ToString() + "_" + std::string(suffix);
    if (session == SessionGlobal) {
        return (native ? "\\BaseNamedObjects\\" : "Global\\") + base;
    }
    if (session < 0) {
        return native ? platform::OwnSessionObjectDirectory() + base : base;
    }
    const std::string n = std::to_string(session);
    return native ? "\\Sessions\\" + n + "\\BaseNamedObjects\\" + base
                  : "Session\\" + n + "\\" + base;
}

std::int32_t ProcessSessionNumber() {
    return platform::OwnSessionNumber();
}

void TGrowingSharedStream::SetGrowRetries(std::uint32_t retries) {
    growRetries = retries;
}

TGrowingSharedStream::TGrowingSharedStream(const core::TGUID& id, std::uint32_t sectionSize,
                                           const TProgressLogger& logger, bool owner,
                                           std::int32_t session)
    : id(id), session(session), owner(owner), sectionSize(sectionSize) {
    auto report = [&](std::string_view line) {
        if (logger) {
            logger(line);
        }
    };
    try {
        report("  Creating/opening mapping object");
        if (owner) {
            if (!ValidSectionSize(this->sectionSize)) {
                core::Raise(core::EGeneralError("Invalid section size of shared stream"));
            }
            // The objects of an owner that has ended are taken over.
            const platform::TObjectOptions takeOver{std::nullopt, true};
            bool existed = false;
            control =
                platform::TSharedSection::Create(SharedObjectName(id, session, "SharedStream_Data"),
                                                 ControlBlockSize, &existed, takeOver);
            if (existed) {
                // A live owner of the same GUID is a programming error of the caller.
                core::Raise(core::EGeneralError("Shared stream already exists"));
            }
            growEvent =
                platform::TEvent::Create(SharedObjectName(id, session, "SharedStream_GrowEvent"),
                                         false, false, &existed, takeOver);
            Store32(Block(), OffSectionSize, this->sectionSize);
        } else {
            growEvent =
                platform::TEvent::Open(SharedObjectName(id, session, "SharedStream_GrowEvent"));
            control =
                platform::TSharedSection::Open(SharedObjectName(id, session, "SharedStream_Data"));
            if (!growEvent || !control || control->Size() < ControlBlockSize) {
                core::Raise(
                    core::EGeneralError("Shared stream " + id.ToString() + " does not exist"));
            }
            this->sectionSize = Load32(Block(), OffSectionSize);
            if (this->sectionSize == 0) {
                this->sectionSize = DefaultSectionSize;
            }
            if (!ValidSectionSize(this->sectionSize)) {
                core::Raise(core::EGeneralError("Shared stream " + id.ToString() +
                                                " has an invalid section size (" +
                                                std::to_string(this->sectionSize) + ")"));
            }
            generation = Load32(Block(), OffGeneration);
        }
        lock = std::make_unique<TSpinLock>(Block() + OffLock);
        report("  Creating view cache");
        if (owner) {
            report("  Creating section list");
            report("  Creating grow thread");
            growThread = platform::StartThread([this] { GrowThread(); });
            report("  Creating first section");
            GrowAsOwner(1);
        }
    } catch (const std::system_error& e) {
        ending = true;
        if (growThread.joinable()) {
            growEvent->Set();
            growThread.join();
        }
        RaiseSystem("Failed to create shared stream", e);
    } catch (...) {
        ending = true;
        if (growThread.joinable()) {
            growEvent->Set();
            growThread.join();
        }
        throw;
    }
}

TGrowingSharedStream::~TGrowingSharedStream() {
    views.clear();
    if (owner) {
        ending = true;
        if (growThread.joinable()) {
            growEvent->Set();
            growThread.join();
        }
        const std::lock_guard guard(sectionsMutex);
        sections.clear();
    }
}

std::uint8_t* TGrowingSharedStream::Block() const {
    return static_cast<std::uint8_t*>(control->Data());
}

std::int64_t TGrowingSharedStream::Size() const {
    return Load64(Block(), OffDataSize);
}

std::int64_t TGrowingSharedStream::AllocatedSize() const {
    return Load64(Block(), OffAllocated);
}

std::uint32_t TGrowingSharedStream::ResetGeneration() const {
    return Load32(Block(), OffGeneration);
}

std::string TGrowingSharedStream::SectionName(std::uint32_t index, bool native) const {
    return SharedObjectName(id, session, "SharedStream_Section_" + std::to_string(index), native);
}

void TGrowingSharedStream::CheckGeneration() {
    if (owner) {
        return;
    }
    const std::uint32_t now = Load32(Block(), OffGeneration);
    if (now != generation) {
        views.clear();
        generation = now;
    }
}

void TGrowingSharedStream::GrowAsOwner(std::int64_t size) {
    CheckGrowth(size);
    const std::lock_guard guard(sectionsMutex);
    const auto needed = static_cast<std::size_t>((size + sectionSize - 1) / sectionSize);
    while (sections.size() < needed) {
        const auto index = static_cast<std::uint32_t>(sections.size());
        bool existed = false;
        std::shared_ptr<platform::TSharedSection> section =
            platform::TSharedSection::Create(SectionName(index, false), sectionSize, &existed,
                                             platform::TObjectOptions{std::nullopt, true});
        if (existed && section->Size() != sectionSize) {
            core::Raise(core::EGeneralError("Section \"" + SectionName(index, false) +
                                            "\" of shared stream has the wrong size"));
        }
        // The mapping is all the owner needs: descriptors stay bounded however
        // large the stream grows.
        section->ReleaseDescriptor();
        sections.push_back(std::move(section));
    }
    Store64(Block(), OffAllocated,
            static_cast<std::int64_t>(sections.size()) * static_cast<std::int64_t>(sectionSize));
}

void TGrowingSharedStream::GrowThread() {
    for (;;) {
        growEvent->Wait(platform::InfiniteTimeout);
        if (ending) {
            return;
        }
        try {
            const std::int64_t requested = Load64(Block(), OffRequested);
            if (requested > sizeLimit || requested < 0) {
                // Over the limit: refused, and cleared so that the next writer's
                // request counts.
                Store64(Block(), OffRequested, 0);
                core::Log().Warning("Shared stream " + id.ToString() + ": growth to " +
                                    std::to_string(requested) + " bytes refused");
            } else if (requested > AllocatedSize()) {
                GrowAsOwner(requested);
            }
        } catch (const std::exception&) {
            // The waiting writer times out and reports the failure.
        }
    }
}

void TGrowingSharedStream::Grow(std::int64_t size) {
    CheckGrowth(size);
    if (owner) {
        GrowAsOwner(size);
        return;
    }
    const std::uint32_t tries = growRetries;
    for (std::uint32_t i = 0; i < tries; ++i) {
        const std::int64_t requested = Load64(Block(), OffRequested);
        if (requested < size || requested > MaxSharedStreamSize) {
            Store64(Block(), OffRequested, size);
        }
        growEvent->Set();
        if (AllocatedSize() >= size) {
            return;
        }
        platform::SleepMs(10);
    }
    core::Raise(core::EGeneralError("Failed to request reallocation of shared stream (timed out)"));
}

void TGrowingSharedStream::Prefetch(std::int64_t position) {
    View(static_cast<std::uint32_t>(position / sectionSize));
}

std::uint8_t* TGrowingSharedStream::View(std::uint32_t index) {
    if (owner) {
        const std::lock_guard guard(sectionsMutex);
        if (index >= sections.size()) {
            core::Raise(core::EGeneralError("Section \"" + SectionName(index, false) +
                                            "\" of shared stream does not exist"));
        }
        return static_cast<std::uint8_t*>(sections[index]->Data());
    }
    for (auto it = views.begin(); it != views.end(); ++it) {
        if (it->Index == index) {
            views.splice(views.begin(), views, it);
            return static_cast<std::uint8_t*>(views.front().Section->Data());
        }
    }
    if (views.size() >= 2) {
        views.pop_back();
    }
    const std::string name = SectionName(index, true);
    std::shared_ptr<platform::TSharedSection> section;
    try {
        section = platform::TSharedSection::Open(name);
    } catch (const std::system_error&) {
        section.reset();
    }
    if (!section || section->Size() < sectionSize) {
        core::Raise(
            core::EGeneralError("Failed to open section \"" + name + "\" of shared stream"));
    }
    views.push_front(TView{index, std::move(section)});
    return static_cast<std::uint8_t*>(views.front().Section->Data());
}

void TGrowingSharedStream::Copy(std::int64_t at, void* buffer, std::size_t count, bool write) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        const auto index = static_cast<std::uint32_t>(at / sectionSize);
        const auto offset = static_cast<std::size_t>(at % sectionSize);
        const std::size_t part = std::min<std::size_t>(count, sectionSize - offset);
        try {
            std::uint8_t* view = View(index);
            if (write) {
                std::memcpy(view + offset, bytes, part);
            } else {
                std::memcpy(bytes, view + offset, part);
            }
        } catch (...) {
            core::RethrowWrapped((write ? "Failed to write " : "Failed to read ") +
                                 std::to_string(part) + " bytes at " + std::to_string(at) +
                                 (write ? " to mapped view" : " from mapped view"));
        }
        bytes += part;
        at += static_cast<std::int64_t>(part);
        count -= part;
    }
}

std::size_t TGrowingSharedStream::Read(void* buffer, std::size_t count) {
    try {
        const TSpinLockGuard guard(*lock);
        CheckGeneration();
        const std::int64_t size = Size();
        if (position >= size || count == 0) {
            return 0;
        }
        const std::size_t n =
            std::min<std::size_t>(count, static_cast<std::size_t>(size - position));
        Copy(position, buffer, n, false);
        position += static_cast<std::int64_t>(n);
        return n;
    } catch (...) {
        core::RethrowWrapped("Failed to read from shared stream");
    }
}

std::size_t TGrowingSharedStream::Write(const void* buffer, std::size_t count) {
    try {
        const TSpinLockGuard guard(*lock);
        CheckGeneration();
        if (position < 0) {
            core::Raise(core::EGeneralError(
                "Cannot map view of mapped stream: Invalid position/size requested (position = " +
                std::to_string(position) + ", size = " + std::to_string(count) +
                ", stream size = " + std::to_string(Size()) + ")"));
        }
        const std::int64_t end = position + static_cast<std::int64_t>(count);
        if (end >= AllocatedSize()) {
            Grow(end);
        }
        Copy(position, const_cast<void*>(buffer), count, true);
        position = end;
        if (end > Size()) {
            Store64(Block(), OffDataSize, end);
        }
        return count;
    } catch (...) {
        core::RethrowWrapped("Failed to write to shared stream");
    }
}

std::int64_t TGrowingSharedStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::soBeginning:
        position = offset;
        break;
    case TSeekOrigin::soCurrent:
        position += offset;
        break;
    case TSeekOrigin::soEnd:
        position = Size() + offset;
        break;
    }
    return position;
}

void TGrowingSharedStream::Repair() {
    if (!owner) {
        return;
    }
    const std::lock_guard guard(sectionsMutex);
    if (Load32(Block(), OffSectionSize) != sectionSize) {
        Store32(Block(), OffSectionSize, sectionSize);
    }
    const auto allocated =
        static_cast<std::int64_t>(sections.size()) * static_cast<std::int64_t>(sectionSize);
    if (Load64(Block(), OffAllocated) != allocated) {
        Store64(Block(), OffAllocated, allocated);
    }
}

void TGrowingSharedStream::Reset() {
    if (!owner) {
        core::Raise(core::EGeneralError("Only the owner can reset a shared stream"));
    }
    bool dropped = false;
    {
        const TSpinLockGuard guard(*lock);
        Store64(Block(), OffDataSize, 0);
        Store64(Block(), OffRequested, 0);
        Store64(Block(), OffAllocated, sectionSize);
        const std::lock_guard sectionsGuard(sectionsMutex);
        if (sections.size() > 1) {
            dropped = true;
            Store32(Block(), OffGeneration, Load32(Block(), OffGeneration) + 1);
            sections.resize(1);
        }
    }
    if (dropped) {
        views.clear();
    }
    position = 0;
}

} // namespace packets
