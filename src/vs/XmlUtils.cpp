#include "vs/XmlUtils.h"

#include "core/Errors.h"
#include "core/StringListEx.h"
#include "platform/Files.h"
#include "vs/XmlEncoding.h"

#include <limits>

namespace vs {

namespace {
constexpr unsigned ParseOptions = pugi::parse_default | pugi::parse_ws_pcdata_single;

bool Result(const pugi::xml_parse_result& result, std::string& reason) {
    if (result) {
        return true;
    }
    reason = result.description();
    return false;
}
} // namespace

bool LoadXmlFile(pugi::xml_document& document, const std::string& fileName, std::string& reason) {
    std::string bytes;
    std::string error;
    if (platform::ReadWholeFile(fileName, bytes, std::numeric_limits<std::size_t>::max(), &error) !=
        platform::TFileReadResult::Ok) {
        reason = "Cannot read the file. " + error;
        return false;
    }
    // An 8-bit encoding is decoded by the declaration; the loader finds the others.
    if (const std::optional<std::string> text = DecodeDeclaredEncoding(bytes)) {
        return LoadXmlText(document, *text, reason);
    }
    return Result(document.load_buffer(bytes.data(), bytes.size(), ParseOptions), reason);
}

bool LoadXmlText(pugi::xml_document& document, std::string_view text, std::string& reason) {
    return Result(document.load_buffer(text.data(), text.size(), ParseOptions, pugi::encoding_utf8),
                  reason);
}

pugi::xml_node FindChild(pugi::xml_node node, std::string_view name) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && core::SameText(child.name(), name)) {
            return child;
        }
    }
    return {};
}

pugi::xml_node RequiredChild(pugi::xml_node node, std::string_view name) {
    const pugi::xml_node child = FindChild(node, name);
    if (!child) {
        core::Raise(core::EGeneralError("XML child node not found: " + std::string(name)));
    }
    return child;
}

std::string RequiredAttribute(pugi::xml_node node, std::string_view name) {
    const pugi::xml_attribute attribute = node.attribute(std::string(name).c_str());
    if (!attribute) {
        core::Raise(core::EGeneralError("Attribute not found: " + std::string(node.name()) + "." +
                                        std::string(name)));
    }
    return attribute.value();
}

std::string OptionalAttribute(pugi::xml_node node, std::string_view name,
                              std::string_view defaultValue) {
    const pugi::xml_attribute attribute = node.attribute(std::string(name).c_str());
    return attribute ? std::string(attribute.value()) : std::string(defaultValue);
}

} // namespace vs
