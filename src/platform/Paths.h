#pragma once
// Paths. Separators are "/"; paths written in Windows files or option values may
// use "\" and are converted. "Absolute" means starting with "/".
#include <memory>
#include <string>
#include <string_view>

namespace platform {

constexpr char PathDelim = '/';

std::string GetCurrentDir();

// An argument starting with "/" is an option unless the part before its first
// "=" holds another "/" (then it is an absolute path). "-" always starts an option.
bool IsOptionArgument(std::string_view arg);

// "\" becomes "/".
std::string ToNativeSeparators(std::string_view path);

// Removes one pair of surrounding double quotes, converts separators, makes the
// path absolute against `baseDir` and resolves "." and ".." segments.
std::string ExpandPath(std::string_view path, std::string_view baseDir);

bool IsAbsolutePath(std::string_view path);
std::string IncludeTrailingDelimiter(std::string_view dir);
std::string ExtractFileDir(std::string_view path);  // without the final "/" (except the root)
std::string ExtractFileName(std::string_view path); // after the last "/"
std::string ExtractFileExt(std::string_view path);  // ".ext" of the file name, or empty
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string FileNameWithoutExt(std::string_view path);

bool FileExists(std::string_view path);        // exists and is not a directory
bool RegularFileExists(std::string_view path); // a regular file (links followed): no pipe or device
bool DirectoryExists(std::string_view path);

// Creates the directory with all missing parents. On failure returns false with
// the system's error text in `errorText`.
bool ForceDirectories(std::string_view dir, std::string* errorText = nullptr);

// For names written in Windows files: the path itself when it exists, else the
// existing path whose components match it ignoring case (the first match in each
// folder), else the path unchanged. Folder listings are kept for the resolver's
// lifetime, so one resolver serves one pass over one file's names.
class TPathCaseResolver {
public:
    TPathCaseResolver();
    ~TPathCaseResolver();
    TPathCaseResolver(const TPathCaseResolver&) = delete;
    TPathCaseResolver& operator=(const TPathCaseResolver&) = delete;
    std::string Resolve(std::string_view path);

private:
    struct TListings;
    std::unique_ptr<TListings> listings;
};
std::string ResolvePathCase(std::string_view path);

// True when the file name matches the shell pattern ("*", "?", "[...]"); a leading
// "." is matched only by a "." in the pattern.
bool MatchesFileNamePattern(std::string_view pattern, std::string_view name);

// The program's own file (resolved /proc/self/exe), or its argv[0] when unknown.
std::string ProgramFileName();

} // namespace platform
