#pragma once
// The XML file form of the profile and build documents, derived from their
// field tables alone:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <Profile FormatVersion="1">                  root: class name without "T",
//     <Tool Filename="gcc" AllowRemote="true"/>  "Xml_" and "Document"
//     <PreBuildStep Filepath="..."/>
//   </Profile>
//
// A simple field is an attribute named as the field (Bool "true"/"false",
// integers in decimal, strings as they are, sets and raw bytes in hex); a list
// is a sequence of child elements named by its item name (the field name when it
// has none); a nested record is a child element named as the field; a string
// list is a sequence of child elements named as the field, each holding one
// string in its Value attribute (attributes keep every character exactly, text
// content would not: XML folds line ends and drops blank text).
// Fields not written keep their defaults, and the writer leaves out fields that
// hold their defaults. Anything else in the file (an unknown attribute or
// element, text, a malformed value, an attribute given twice) is an error naming
// the file, the line and the name.
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/Errors.h"
#include "packets/Packet.h"

namespace records {

class EXmlRecordError : public core::EGeneralError {
public:
    using core::EGeneralError::EGeneralError;
    const char* ClassName() const override { return "EXmlRecordError"; }
};

// "TXml_ProfileDocument" -> "Profile", "TBuildCacheProfileDocument" -> "BuildCacheProfile".
std::string XmlElementNameOf(const packets::TPacketClass& cls);

// The line of the element each record was read from, the root's included.
using TXmlRecordLines = std::unordered_map<const packets::TPacket*, int>;

// Fills `packet` (cleared first) from the text of a file; `fileName` names it in errors.
// With `lines`, also says where each record came from.
void ReadXmlRecord(std::string_view text, std::string_view fileName, packets::TPacket& packet,
                   TXmlRecordLines* lines = nullptr);
// Raises EXmlRecordError also when the file cannot be read.
void LoadXmlRecordFile(const std::string& fileName, packets::TPacket& packet,
                       TXmlRecordLines* lines = nullptr);

std::string WriteXmlRecord(const packets::TPacket& packet);
void SaveXmlRecordFile(const std::string& fileName, const packets::TPacket& packet);

} // namespace records
