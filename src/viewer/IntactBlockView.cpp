#include "viewer/IntactBlockView.h"

#include "core/Errors.h"
#include "packets/Compression.h"

#include <algorithm>
#include <cstring>

namespace viewer {

namespace {
constexpr std::uint8_t OpenBlockMark[4] = {0xFF, 0xFF, 0xFF, 0xFF};

bool ReadAt(packets::TStream& source, std::int64_t offset, void* buffer, std::size_t count) {
    source.SetPosition(offset);
    return source.Read(buffer, count) == count;
}
} // namespace

TIntactBlockView::TIntactBlockView(std::unique_ptr<packets::TStream> stream, std::int64_t at)
    : source(std::move(stream)), start(at) {
    const std::int64_t end = source->Size();
    if (!ReadAt(*source, start, header.data(), 12)) {
        core::Raise(core::EGeneralError("The event stream has no complete header."));
    }
    if (std::memcmp(header.data(), "sdc3", 4) == 0) {
        headerSize = 16;
        if (!ReadAt(*source, start + 12, header.data() + 12, 4)) {
            core::Raise(core::EGeneralError("The event stream has no complete header."));
        }
    } else if (std::memcmp(header.data(), "sdc1", 4) != 0 &&
               std::memcmp(header.data(), "sdc2", 4) != 0) {
        core::Raise(core::EGeneralError("The event stream's header has an invalid signature."));
    }
    std::int64_t promised = 0;
    if (headerSize == 16) {
        std::memcpy(&promised, header.data() + 8, 8);
    } else {
        std::int32_t total32 = 0;
        std::memcpy(&total32, header.data() + 8, 4);
        promised = total32;
    }
    // The view ends at an open block, whose total the header does not know yet.
    std::fill(header.begin() + 8, header.begin() + headerSize, 0);

    std::int64_t scan = start + headerSize;
    std::int64_t uncompressed = 0;
    bool open = false;
    while (scan < end) {
        std::int32_t fields[2] = {0, 0};
        if (end - scan < 4 || !ReadAt(*source, scan, &fields[0], 4)) {
            damage = "The event stream is cut off inside a block's size.";
            break;
        }
        if (fields[0] == -1) {
            open = true; // a writer is filling this block
            break;
        }
        if (fields[0] < 4 || fields[0] > end - scan - 4) {
            damage = fields[0] < 4 ? "A block of the event stream has an invalid size."
                                   : "The event stream is cut off inside a block.";
            break;
        }
        // The codec expands at most 255-fold, as the decompressing reader checks.
        if (!ReadAt(*source, scan + 4, &fields[1], 4) || fields[1] < 0 ||
            static_cast<std::size_t>(fields[1]) > packets::CompressBlockSize ||
            (fields[1] > 0 &&
             static_cast<std::int64_t>(fields[1]) > 256 * (std::int64_t{fields[0]} - 4))) {
            damage = "A block of the event stream has an invalid length.";
            break;
        }
        scan += 4 + fields[0];
        uncompressed += fields[1];
    }
    if (damage.empty() && !open && uncompressed != promised) {
        damage = "The event stream ends after " + std::to_string(uncompressed) +
                 " bytes; its header promises " + std::to_string(promised) + ".";
    }
    intactEnd = scan;
    size = headerSize + (intactEnd - start - headerSize) + 4;
}

std::size_t TIntactBlockView::Read(void* buffer, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    const std::int64_t bodyEnd = size - 4;
    while (done < count && position < size) {
        std::size_t n = 0;
        if (position < headerSize) {
            n = std::min<std::size_t>(count - done,
                                      static_cast<std::size_t>(headerSize - position));
            std::memcpy(out + done, header.data() + position, n);
        } else if (position < bodyEnd) {
            n = std::min<std::size_t>(count - done, static_cast<std::size_t>(bodyEnd - position));
            source->SetPosition(start + position);
            n = source->Read(out + done, n);
            if (n == 0) {
                break; // the source shrank
            }
        } else {
            n = std::min<std::size_t>(count - done, static_cast<std::size_t>(size - position));
            std::memcpy(out + done, OpenBlockMark + (position - bodyEnd), n);
        }
        done += n;
        position += static_cast<std::int64_t>(n);
    }
    return done;
}

void TIntactBlockView::Write(const void*, std::size_t) {
    core::Raise(core::EGeneralError("Cannot write to a read-only event stream."));
}

std::int64_t TIntactBlockView::Seek(std::int64_t offset, packets::TSeekOrigin origin) {
    position = packets::SeekTarget(offset, origin, position, size);
    return position;
}

} // namespace viewer
