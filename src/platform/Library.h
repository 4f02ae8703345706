#pragma once
// Shared libraries loaded at run time.
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class TLibrary {
public:
    ~TLibrary();
    TLibrary(const TLibrary&) = delete;
    TLibrary& operator=(const TLibrary&) = delete;

    // Null with the loader's error text when the library cannot be loaded.
    static std::unique_ptr<TLibrary> Load(std::string_view path, std::string* errorText = nullptr);
    // Null when the library has no such export.
    void* Symbol(std::string_view name) const;

private:
    explicit TLibrary(void* handle) : handle(handle) {}
    void* handle;
};

// Frees a text that a loaded library allocated from the process heap.
void FreeLibraryText(char* text);

} // namespace platform
