#include "vs/VSVersion.h"

#include <array>

namespace vs {

namespace {
struct TVersion {
    std::string_view Text;
    std::string_view Signature;
};

constexpr std::array<TVersion, VSVersionCount> Versions = {{
    {"4.0", "4.0"},
    {"6.0", "6.0"},
    {"7.0", "2002"},
    {"7.1", "2003"},
    {"8.0", "2005"},
    {"9.0", "2008"},
    {"10.0", "2010"},
    {"11.0", "2012"},
    {"12.0", "2013"},
    {"14.0", "2015"},
    {"15.0", "2017"},
    {"16.0", "2019"},
    {"17.0", "2022"},
}};

bool ValidIndex(int index) {
    return index >= 1 && index <= VSVersionCount;
}
} // namespace

std::string VSVersionText(int index, bool majorOnly) {
    if (!ValidIndex(index)) {
        return {};
    }
    const std::string_view text = Versions[static_cast<std::size_t>(index - 1)].Text;
    return std::string(majorOnly ? text.substr(0, text.rfind('.')) : text);
}

std::string VSVersionSignature(int index) {
    return ValidIndex(index) ? std::string(Versions[static_cast<std::size_t>(index - 1)].Signature)
                             : std::string();
}

int VSIndexFromVersionText(std::string_view text) {
    std::string version(text);
    for (char& c : version) {
        if (c == ',') {
            c = '.';
        }
    }
    if (version.find('.') == std::string::npos) {
        version += ".0";
    }
    for (int index = 1; index <= VSVersionCount; ++index) {
        if (version.starts_with(Versions[static_cast<std::size_t>(index - 1)].Text)) {
            return index;
        }
    }
    return 0;
}

int VSIndexFromNumber(int major) {
    for (int index = 1; index <= VSVersionCount; ++index) {
        if (VSVersionText(index, true) == std::to_string(major)) {
            return index;
        }
    }
    return 0;
}

int VSIndexFromSignature(std::string_view text) {
    for (int index = 1; index <= VSVersionCount; ++index) {
        if (text.find(Versions[static_cast<std::size_t>(index - 1)].Signature) !=
            std::string_view::npos) {
            return index;
        }
    }
    return 0;
}

std::string VSProjectFormatName(int index, bool useMSBuild) {
    if (index == 1) {
        return "EVC4";
    }
    if (!ValidIndex(index)) {
        return {};
    }
    std::string name = "VC" + VSVersionText(index, true);
    if (index > 6 && !useMSBuild) {
        name += "DE";
    }
    return name;
}

std::string XenonPlatformName(std::string configuration, int formatIndex) {
    if (formatIndex >= 5 && formatIndex <= 8 && configuration.ends_with("|Xbox 360")) {
        configuration.replace(configuration.size() - 9, 9, "|Xenon");
    }
    return configuration;
}

} // namespace vs
