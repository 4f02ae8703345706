#pragma once
// A byte stream in named shared memory that one process owns and others open by
// name. Its bytes live in a chain of equally sized sections that the owner creates
// on demand; a writer in another process asks for growth through the control block
// and the grow event, which the owner's grow thread serves.
//
// Objects, named "Tavrix_" + GUID + "_" + suffix in the stream's session:
//   SharedStream_GrowEvent   auto-reset event that wakes the grow thread
//   SharedStream_Data        control block, 52 bytes, little-endian:
//      0  4  unused              4  8  spin lock (owner identity, level)
//     12  8  data size          20  8  allocated size (sections x section size)
//     28  8  requested size     36  4  reset generation
//     40  4  unused             44  4  section size (0 reads as 2 MiB)   48 4 unused
//   SharedStream_Section_<n> bytes [n*S, (n+1)*S)
// Control block fields change only under the spin lock, except the allocated size,
// which a waiting writer polls while the grow thread raises it.
//
// Openers may be other users, so the owner trusts nothing they write: a stream
// never grows beyond MaxSharedStreamSize, section sizes are checked, and the owner
// keeps no descriptor per section (only its mappings). A new owner takes over the
// objects of an owner that has ended.
#include "core/Guid.h"
#include "packets/SpinLock.h"
#include "packets/Streams.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {
class TSharedSection;
class TEvent;
} // namespace platform

namespace packets {

constexpr std::int32_t SessionGlobal = -2;
constexpr std::int32_t SessionOwn = -1;
constexpr std::uint32_t DefaultSectionSize = 2097152;
constexpr std::uint32_t MinSectionSize = 4096;
constexpr std::uint32_t MaxSectionSize = 64u << 20;
constexpr std::int64_t MaxSharedStreamSize = std::int64_t{1} << 30;

// The name of a shared object of GUID `id`: Win32 spelling ("Global\...",
// "Session\n\..." or the plain base name) or the native one.
std::string SharedObjectName(const core::TGUID& id, std::int32_t session, std::string_view suffix,
                             bool native = false);
// The session number other processes must use for objects of this process.
std::int32_t ProcessSessionNumber();

using TProgressLogger = std::function<void(std::string_view)>;

class TGrowingSharedStream {
public:
    // The owner creates every object; an opener fails when the stream does not exist.
    TGrowingSharedStream(const core::TGUID& id, std::uint32_t sectionSize,
                         const TProgressLogger& logger, bool owner, std::int32_t session);
    ~TGrowingSharedStream();
    TGrowingSharedStream(const TGrowingSharedStream&) = delete;
    TGrowingSharedStream& operator=(const TGrowingSharedStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count);
    std::size_t Write(const void* buffer, std::size_t count);
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
    std::int64_t Position() const { return position; }
    std::int64_t Size() const;
    // Owner only: empties the stream and gives back every section but the first.
    void Reset();
    // Owner only: the most bytes that openers may make it grow to (at most
    // MaxSharedStreamSize).
    void SetSizeLimit(std::int64_t bytes) { sizeLimit = std::min(bytes, MaxSharedStreamSize); }
    // Owner only: writes back the fields that only the owner sets (section size,
    // allocated size), should an opener have changed them.
    void Repair();
    // Maps the section that holds `position` now: a mapped section stays readable
    // after its owner has gone.
    void Prefetch(std::int64_t position);

    TSpinLock& Lock() { return *lock; }
    std::uint32_t SectionSize() const { return sectionSize; }
    std::int64_t AllocatedSize() const;
    std::uint32_t ResetGeneration() const;
    bool IsOwner() const { return owner; }
    // Mapped section views of this process (at most two for an opener).
    std::size_t CachedViews() const { return views.size(); }
    // How long an opener waits for the owner to grow the stream (tests shorten it).
    static void SetGrowRetries(std::uint32_t retries);

private:
    struct TView {
        std::uint32_t Index = 0;
        std::shared_ptr<platform::TSharedSection> Section;
    };

    std::uint8_t* Block() const;
    void CheckGeneration();
    void Grow(std::int64_t size);
    void GrowAsOwner(std::int64_t size);
    void GrowThread();
    std::uint8_t* View(std::uint32_t index);
    void Copy(std::int64_t at, void* buffer, std::size_t count, bool write);
    std::string SectionName(std::uint32_t index, bool native) const;

    core::TGUID id;
    std::int32_t session;
    bool owner;
    std::uint32_t sectionSize;
    std::unique_ptr<platform::TEvent> growEvent;
    std::unique_ptr<platform::TSharedSection> control;
    std::unique_ptr<TSpinLock> lock;
    std::list<TView> views; // most recently used first
    std::int64_t position = 0;
    std::uint32_t generation = 0;
    // Owner only.
    std::mutex sectionsMutex;
    std::vector<std::shared_ptr<platform::TSharedSection>> sections;
    std::atomic<bool> ending{false};
    std::atomic<std::int64_t> sizeLimit{MaxSharedStreamSize};
    std::thread growThread;
};

// A growing shared stream as a TStream, the stream the packet format reads and writes.
class TGrowingSharedStreamAsTStream : public TStream {
public:
    explicit TGrowingSharedStreamAsTStream(TGrowingSharedStream& stream) : stream(stream) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        return stream.Read(buffer, count);
    }
    void Write(const void* buffer, std::size_t count) override { stream.Write(buffer, count); }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        return stream.Seek(offset, origin);
    }
    std::int64_t Size() const override { return stream.Size(); }
    std::int64_t Position() const override { return stream.Position(); }

private:
    TGrowingSharedStream& stream;
};

} // namespace packets
