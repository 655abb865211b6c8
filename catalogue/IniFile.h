#pragma once
#include <map>
#include <string>

// Reads an integer the way the catalogue stores them: "0x"/"0X" followed by
// hex digits, or leading blanks, an optional sign and decimal digits (hex
// after "$"). Anything else, trailing blanks included, gives the default.
int StrToIntDef(const std::string& text, int defaultValue);

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

    // Every key of a section in one read, for operations that read many: a
    // key reads as ReadString would read it (blanks and one pair of quotes
    // around the value removed, at most 1023 characters, the first of
    // repeated keys).
    class TSection {
    public:
        std::string ReadString(const std::string& key, const std::string& defaultValue) const;
        int ReadInteger(const std::string& key, int defaultValue) const;
        bool ReadBool(const std::string& key, bool defaultValue) const;

    private:
        friend class TIniFile;
        std::map<std::string, std::string> values_; // by lower-case key
    };
    TSection ReadSection(const std::string& section) const;

    // Writes fail with "Unable to write to <file name>".
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void EraseSection(const std::string& section);
    // Removing a single key ignores failure.
    void DeleteKey(const std::string& section, const std::string& key);

private:
    [[noreturn]] void RaiseWriteError() const;

    std::string fileName_;
};
