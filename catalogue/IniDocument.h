#pragma once
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Kernel.h"

// The one step in which the catalogue, and any file written whole, takes
// the place of the old one: the text goes to a file beside it under a name no
// one can foresee (TemporaryName), and that file is put in place through its
// handle (PutInPlace), so a reader finds the old file or the new one, never
// half of one. DeleteLeftOvers takes away what a writer killed midway left.
std::string TemporaryName(const std::string& path);
void DeleteLeftOvers(const std::string& path);
bool PutInPlace(HANDLE file, const std::string& target);

// The text to write for a value so that a read gives the value back whole.
// A read drops blanks at either end and one pair of matching quotes, so a
// value it would change goes in one more pair of quotes: "C:\Web App" is
// written as ""C:\Web App"". Files written before read as they did.
std::string ProfileValue(const std::string& value);
// The most characters a value may have for a read to give it back whole:
// 1023, or 1022 when it has to be written in quotes.
size_t ProfileValueLimit(const std::string& value);

// What changes with every write of a file: its time of last write and its
// size. Asked for without opening the file.
struct TFileStamp {
    bool Exists = false;
    unsigned long long WriteTime = 0;
    unsigned long long Size = 0;

    bool operator==(const TFileStamp&) const = default;
};

// An INI file read whole with one read, changed in memory and written back
// in one step. Reads mean what the private-profile functions make of the
// same text, and every change leaves the text as WritePrivateProfileStringA
// would have left it, because the service hosts, the window-state store and
// users' editors read the same file.
class TIniDocument {
public:
    // A name without a folder lives in the Windows directory. A missing file
    // reads as empty; so does one that cannot be read, but that one is
    // never written over.
    explicit TIniDocument(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    // Section and key names are compared without blanks at either end or
    // the case of ASCII letters; the first of repeated sections and keys is the one read.
    // Values come back as a 1024-byte buffer holds them: blanks and one pair
    // of matching quotes removed, at most 1023 characters (UTF-16 units, a
    // pair never split).
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
    bool HasKey(const std::string& section, const std::string& key) const;
    // A section counts when it holds at least one line.
    bool HasSection(const std::string& section) const;
    // The key names of the section, in file order.
    std::vector<std::string> KeyNames(const std::string& section) const;
    std::vector<std::string> SectionNames() const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void DeleteKey(const std::string& section, const std::string& key);
    void EraseSection(const std::string& section);

    // Whether two names reach the same section or key.
    static bool SameName(const std::string& a, const std::string& b);

    // Writes a changed document to a new file beside the old one (or beside
    // the file a symbolic link leads to, the link staying), flushes it and
    // puts it in the old one's place, so a reader finds either the old text
    // or the new, never part of one. The new file is created with the old
    // one's owner, access list, audit list (when this process may read it)
    // and attributes, under a name no one can foresee, and shared with no one
    // until it is in place: an administrator who restricted the catalogue
    // keeps it so at every moment. On failure the old file stays as it was,
    // nothing is left beside it, and "Unable to write to <file name>" is
    // raised.
    void Save();

    // The stamp of the file of that name (a bare name lives in the Windows
    // directory).
    static TFileStamp Stamp(const std::string& fileName);

private:
    enum class TEncoding { Ansi, Utf8, Utf16LE, Utf16BE };
    struct TKey {
        std::wstring Name;
        std::wstring Value;
        bool HasValue = false;
    };
    struct TSection {
        std::wstring Name;
        std::vector<TKey> Keys;
        // Position of the first key of each folded name; rebuilt on demand.
        mutable std::unordered_map<std::wstring, size_t> Index;
        mutable bool Indexed = false;
    };

    void Parse(const std::wstring& text);
    std::wstring Text() const;
    // The file's bytes, and the encoding they are in.
    std::string Encoded(TEncoding& encoding) const;
    const TSection* FindSection(const std::string& section) const;
    TSection* FindSection(const std::string& section);
    static const TKey* FindKey(const TSection& section, const std::string& key);

    std::string fileName_;
    std::string path_;
    TEncoding encoding_ = TEncoding::Ansi;
    // The system's code page, in which a file without a mark is written.
    unsigned ansiCodePage_ = 0;
    bool unreadable_ = false;
    bool changed_ = false;
    std::vector<TSection> sections_;
    mutable std::unordered_map<std::wstring, size_t> sectionIndex_;
    mutable bool sectionsIndexed_ = false;
};

// Held by a writer of the file from its read to its write. Two programs that
// change the file at once (the window and the command line, two scripts)
// would otherwise each write back what they read, and one change would be
// lost. The thread that holds it may take it again. Only administrators and
// LocalSystem may take it: a lock made first by a program that lets others
// take it is refused ("The catalogue <file name> cannot be changed: ...").
// When it cannot be had within waitMs (ten seconds), raises "The catalogue
// <file name> is busy: "qv.exe" (process 1234) is changing it ...", naming
// the holder when it is known.
class TIniWriteLock {
public:
    explicit TIniWriteLock(const std::string& fileName, unsigned long waitMs = 10000);
    ~TIniWriteLock();
    TIniWriteLock(const TIniWriteLock&) = delete;
    TIniWriteLock& operator=(const TIniWriteLock&) = delete;

    // The name of the lock of the file, one per file whatever spelling
    // reaches it.
    static std::string Name(const std::string& fileName);

private:
    std::string name_;
    TKernelHandle mutex_;
    // Who holds it, for those who wait in vain.
    TKernelHandle holder_;
    void* record_;
};
