#pragma once
// XML project documents (pugixml; external entities are never resolved).
#include <pugixml.hpp>

#include <string>
#include <string_view>

namespace vs {

// Loads an XML file; false with the parser's reason when it is not well-formed.
bool LoadXmlFile(pugi::xml_document& document, const std::string& fileName, std::string& reason);
bool LoadXmlText(pugi::xml_document& document, std::string_view text, std::string& reason);

// The first child element of that name, compared ignoring case; null when none.
pugi::xml_node FindChild(pugi::xml_node node, std::string_view name);
// Like FindChild, but a missing child raises "XML child node not found: %s".
pugi::xml_node RequiredChild(pugi::xml_node node, std::string_view name);
// A missing attribute raises "Attribute not found: %s.%s".
std::string RequiredAttribute(pugi::xml_node node, std::string_view name);
std::string OptionalAttribute(pugi::xml_node node, std::string_view name,
                              std::string_view defaultValue = {});

} // namespace vs
