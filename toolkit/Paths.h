#pragma once
#include <string>

// File-system names as the whole program treats them.

// The full path of the running executable.
std::string ExecutablePath();
// The folder part of a path without its last "\" ("" when it has none); a
// file in a drive's root lives in "C:\", not in "C:".
std::string FolderOf(const std::string& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// True when both name the same file: letter case, "/" versus "\", relative
// parts, a "\\?\" prefix and short (8.3) forms do not count. Empty paths
// name nothing.
bool SameFilePath(const std::string& a, const std::string& b);

// A path made ready once for many comparisons as SameFilePath makes them:
// each asks the file system, and a path compared with every entry of a
// catalogue (the service host's own) is asked for once.
class TFilePath {
public:
    explicit TFilePath(const std::string& path);
    // As given.
    const std::string& Path() const { return path_; }
    // True when the other path names the same file.
    bool Names(const std::string& other) const;

private:
    std::string path_;
    std::string canonical_;
};
