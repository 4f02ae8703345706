#pragma once
// A file the viewer writes (report, trace), buffered, raising on every failure so a
// report is never silently short.
#include <memory>
#include <string>
#include <string_view>

namespace platform {
class TFileWriter;
}

namespace viewer {

class TOutputFile {
public:
    // Raises core::EOSError when the file cannot be created.
    explicit TOutputFile(const std::string& path);
    ~TOutputFile();
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    void Write(std::string_view text);
    // Writes what is buffered; raises when the file could not be written.
    void Close();

private:
    void Flush();
    std::unique_ptr<platform::TFileWriter> file;
    std::string path;
    std::string buffer;
};

} // namespace viewer
