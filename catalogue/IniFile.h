#pragma once
#include <cstddef>
#include <string>

// The private-profile functions read a value through a buffer of this many
// bytes: at most one character less comes back.
inline constexpr size_t ValueBuffer = 1024;

// The file's name without its folder, as users know it.
std::string FileNameOf(const std::string& path);
// Fails with "Unable to write to <file name>", the name without its folder.
[[noreturn]] void RaiseWriteError(const std::string& fileName);

// One INI file addressed through the private-profile functions. A bare file
// name lives in the Windows directory. Nothing is cached: every call reads
// or writes the file.
class TIniFile {
public:
    explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

    const std::string& FileName() const { return fileName_; }

    // Values are read through a 1024-byte buffer: at most 1023 characters.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

    // Writes fail with "Unable to write to <file name>".
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void EraseSection(const std::string& section);
    // Removing a single key ignores failure.
    void DeleteKey(const std::string& section, const std::string& key);

private:
    std::string fileName_;
};
