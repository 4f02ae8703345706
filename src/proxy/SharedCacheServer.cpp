#include "proxy/SharedCacheServer.h"

#include "core/Errors.h"
#include "platform/Files.h"

namespace build {

namespace {

constexpr std::size_t PasswordFileLimit = 4096;

[[noreturn]] void Fail(const std::string& text) {
    core::Raise(core::EGeneralError(text));
}

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The characters a password may hold inside the storage address unescaped.
bool PasswordCharacter(char c) {
    return HostCharacter(c) || c == '~' || c == '!' || c == '$' || c == '&' || c == '\'' ||
           c == '(' || c == ')' || c == '*' || c == '+' || c == ',' || c == ';' || c == '=';
}

} // namespace

TSharedCacheServer ParseSharedCacheServer(const std::string& server,
                                          const std::string& passwordText) {
    TSharedCacheServer shared;
    if (server.empty()) {
        return shared;
    }
    const std::string setting = "The agent setting BuildCacheSharedServer \"" + server + "\" ";
    const std::size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == server.size() ||
        colon + 6 < server.size()) {
        Fail(setting + "is not host:port.");
    }
    for (std::size_t i = 0; i < colon; ++i) {
        if (!HostCharacter(server[i])) {
            Fail(setting + "names no host name or IPv4 address.");
        }
    }
    int port = 0;
    for (std::size_t i = colon + 1; i < server.size(); ++i) {
        if (server[i] < '0' || server[i] > '9') {
            Fail(setting + "has no port number.");
        }
        port = port * 10 + (server[i] - '0');
    }
    if (port < 1 || port > 65535) {
        Fail(setting + "has a port out of range.");
    }
    shared.Server = server;
    const std::size_t end = passwordText.find_first_of("\r\n");
    shared.Password = passwordText.substr(0, end);
    for (const char c : shared.Password) {
        if (!PasswordCharacter(c)) {
            Fail("The password of the shared build-cache server may hold letters, digits and "
                 "-._~!$&'()*+,;= only.");
        }
    }
    return shared;
}

TSharedCacheServer ReadSharedCacheServer(const std::string& server,
                                         const std::string& passwordFile) {
    std::string password;
    if (!server.empty() && !passwordFile.empty()) {
        std::string error;
        if (!platform::ReadTrustedFile(passwordFile, password, PasswordFileLimit, &error)) {
            Fail("The agent setting BuildCacheSharedPasswordFile is not usable. " + error);
        }
    }
    return ParseSharedCacheServer(server, password);
}

} // namespace build
