#pragma once
// The per-type operations of the record engine: one row for each field type, which
// every place that handles a field uses (typed access, text, compare, copy, reset,
// save and load in both stream forms). A new field type is one row of this table.
#include "packets/Packet.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace packets {

class TByteReader;
class TPacketLoadContext;
class TPacketSaveContext;

// What loading a field needs from the packet reader.
class TFieldLoader {
public:
    virtual TByteReader& Reader() = 0;
    // The class table of a compact stream; null in the full form.
    virtual TPacketLoadContext* Context() = 0;
    // A nested packet of a known class, and one whose class the stream names.
    virtual void LoadNested(TPacket& packet) = 0;
    virtual std::unique_ptr<TPacket> CreateNested() = 0;

protected:
    ~TFieldLoader() = default;
};

struct TFieldOps {
    TFieldType Type;
    TPacketFieldKind Kind;
    // Typed access; null where the type has none (the caller raises).
    std::int64_t (*GetInteger)(const TFieldDef&, const TPacket&) = nullptr;
    void (*SetInteger)(const TFieldDef&, TPacket&, std::int64_t) = nullptr;
    double (*GetDouble)(const TFieldDef&, const TPacket&) = nullptr;
    void (*SetDouble)(const TFieldDef&, TPacket&, double) = nullptr;
    std::string (*GetString)(const TFieldDef&, const TPacket&) = nullptr;
    void (*SetString)(const TFieldDef&, TPacket&, std::string_view) = nullptr;
    TFieldObject (*GetObject)(const TFieldDef&, const TPacket&) = nullptr;
    // The dump text: 0 none, 1 one line, 2 several lines.
    int (*Text)(const TFieldDef&, const TPacket&, std::string&) = nullptr;
    bool (*Equal)(const TFieldDef&, const TPacket&, const TPacket&) = nullptr;
    void (*Copy)(const TFieldDef&, TPacket& to, const TPacket& from) = nullptr;
    // Applies the declared default; objects (strings without a default, lists,
    // records) are emptied only with `objects`, as they start empty.
    void (*Reset)(const TFieldDef&, TPacket&, bool objects) = nullptr;
    // `context` is null in the full form.
    void (*Save)(const TFieldDef&, const TPacket&, TStream&, TPacketSaveContext* context) = nullptr;
    void (*Load)(const TFieldDef&, TPacket&, TFieldLoader&) = nullptr;
};

const TFieldOps& FieldOps(TFieldType type);

} // namespace packets
