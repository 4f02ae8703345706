#include "platform/Library.h"

#include <cstdlib>
#include <dlfcn.h>

namespace platform {

TLibrary::~TLibrary() {
    ::dlclose(handle);
}

std::unique_ptr<TLibrary> TLibrary::Load(std::string_view path, std::string* errorText) {
    void* handle = ::dlopen(std::string(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (errorText != nullptr) {
            const char* error = ::dlerror();
            *errorText = error != nullptr ? error : "";
        }
        return nullptr;
    }
    return std::unique_ptr<TLibrary>(new TLibrary(handle));
}

void* TLibrary::Symbol(std::string_view name) const {
    return ::dlsym(handle, std::string(name).c_str());
}

void FreeLibraryText(char* text) {
    std::free(text);
}

} // namespace platform
