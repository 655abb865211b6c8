#include "catalogue/IniDocument.h"

#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "catalogue/IniFile.h"
#include "platform/Kernel.h"
#include "platform/Security.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

// What the profile functions take for a blank: ^Z, the old end-of-file
// mark, included.
bool IsBlank(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r') || c == 0x1A;
}

std::wstring_view Trimmed(std::wstring_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Names and values end at a zero character, as the profile functions keep
// them.
std::wstring UpToZero(std::wstring_view text)
{
    return std::wstring(text.substr(0, text.find(L'\0')));
}

std::wstring Widen(std::string_view text, UINT codePage)
{
    std::wstring wide(text.size(), L'\0');
    size_t at = 0;
    while (at < text.size() && static_cast<unsigned char>(text[at]) < 0x80) {
        wide[at] = static_cast<wchar_t>(text[at]);
        ++at;
    }
    if (at == text.size())
        return wide;
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    wide.resize(static_cast<size_t>(length));
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Narrow(std::wstring_view text, UINT codePage)
{
    std::string narrow(text.size(), '\0');
    size_t at = 0;
    while (at < text.size() && text[at] < 0x80) {
        narrow[at] = static_cast<char>(text[at]);
        ++at;
    }
    if (at == text.size())
        return narrow;
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    narrow.resize(static_cast<size_t>(length));
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

// The profile functions ignore the case of ASCII letters only.
wchar_t Folded(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}

std::wstring Folded(std::wstring text)
{
    for (wchar_t& c : text)
        c = Folded(c);
    return text;
}

// How a name asked for is compared: as a C string, without blanks at either
// end, folded.
std::wstring Wanted(const std::string& name)
{
    std::wstring wanted = Folded(WideFromText(name.c_str()));
    std::wstring_view trimmed = Trimmed(wanted);
    return std::wstring(trimmed);
}

// Whether a stored name is the one wanted, without copying it.
bool IsWanted(std::wstring_view stored, const std::wstring& wanted)
{
    if (stored.size() != wanted.size())
        return false;
    for (size_t at = 0; at < stored.size(); ++at)
        if (Folded(stored[at]) != wanted[at])
            return false;
    return true;
}

// How a name or value given to a write is stored: leading blanks dropped,
// trailing ones kept.
std::wstring Stored(const std::string& text)
{
    const std::wstring wide = WideFromText(text.c_str());
    std::wstring_view passed = wide;
    while (!passed.empty() && IsBlank(passed.front()))
        passed.remove_prefix(1);
    return std::wstring(passed);
}

// A name without a folder means the Windows directory, as for the profile
// functions.
std::string FullPath(const std::string& fileName)
{
    bool bare = fileName.find_first_of("\\/") == std::string::npos &&
                !(fileName.size() >= 2 && fileName[1] == ':');
    if (!bare)
        return fileName;
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows, length < MAX_PATH ? length : 0) + "\\" + fileName;
}

// Reads to the end rather than asking the size first, which costs as much
// again as reading a small file.
bool ReadWhole(HANDLE file, std::string& bytes)
{
    size_t done = 0;
    bytes.resize(64 * 1024);
    for (;;) {
        if (done == bytes.size())
            bytes.resize(bytes.size() * 2);
        DWORD got = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 30));
        if (!ReadFile(file, bytes.data() + done, chunk, &got, nullptr))
            return false;
        if (got == 0)
            break;
        done += got;
    }
    bytes.resize(done);
    return true;
}

std::wstring FromUtf16(std::string_view bytes, bool bigEndian)
{
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char first = static_cast<unsigned char>(bytes[2 * i]);
        unsigned char second = static_cast<unsigned char>(bytes[2 * i + 1]);
        text[i] = static_cast<wchar_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
    }
    return text;
}

std::string ToUtf16(std::wstring_view text, bool bigEndian)
{
    std::string bytes(bigEndian ? "\xFE\xFF" : "\xFF\xFE");
    for (wchar_t c : text) {
        char high = static_cast<char>((c >> 8) & 0xFF), low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

// Whether a read would give back something else than the value as written.
bool ReadChanges(const std::string& value)
{
    if (value.empty())
        return false;
    const auto blank = [](char c) { return IsBlank(static_cast<unsigned char>(c)); };
    if (blank(value.front()) || blank(value.back()))
        return true;
    return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
}

constexpr SECURITY_INFORMATION KeptSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Creating a file owned by another than oneself needs the restore
// privilege, and reading or giving an audit list the security privilege:
// an administrator holds both without having switched them on.
void EnablePrivilege(const char* name)
{
    TKernelHandle token;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Receive()) &&
        LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
}

// The guard of the file at source, for the file that replaces it: its owner,
// group and access list, its audit list too when this process may read it.
// Empty when it cannot be read.
TLocalMemory GuardOf(const std::string& source)
{
    EnablePrivilege(SE_RESTORE_NAME);
    EnablePrivilege(SE_SECURITY_NAME);
    PSECURITY_DESCRIPTOR raw = nullptr;
    DWORD error = SecurityApi().GetNamedSecurityInfoA(source.c_str(), SE_FILE_OBJECT,
                                                      KeptSecurity | SACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                      nullptr, nullptr, &raw);
    // Without the security privilege there is no audit list to carry.
    if (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED)
        error = SecurityApi().GetNamedSecurityInfoA(source.c_str(), SE_FILE_OBJECT, KeptSecurity, nullptr, nullptr,
                                                    nullptr, nullptr, &raw);
    TLocalMemory descriptor(raw);
    if (error != ERROR_SUCCESS)
        descriptor.Close();
    return descriptor;
}

// The file a write replaces: the one the name leads to, a symbolic link's
// target rather than the link, which stays. The name itself when the system
// cannot tell.
std::string ReplacedPath(const std::string& path)
{
    const TKernelHandle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return path;
    std::string final(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = KernelApi().GetFinalPathNameByHandleA(file.Get(), final.data(),
                                                                   static_cast<DWORD>(final.size()), 0);
        if (length == 0)
            return path;
        if (length < final.size()) {
            final.resize(length);
            break;
        }
        final.resize(length + 1);
    }
    if (final.starts_with("\\\\?\\UNC\\"))
        return "\\" + final.substr(7);
    if (final.starts_with("\\\\?\\"))
        return final.substr(4);
    return final;
}

} // namespace

// A name beside the file that no one can foresee, new for every write: a
// program that takes or holds the name cannot block the next write.
std::string TemporaryName(const std::string& path)
{
    unsigned long long random[2] = {};
    if (!RtlGenRandom(random, sizeof random)) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        random[0] = static_cast<unsigned long long>(counter.QuadPart) ^ GetCurrentProcessId();
    }
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%016llx%016llx.tmp", random[0], random[1]);
    return path + suffix;
}

// Deletes the files a writer that was killed while writing left beside the
// file; one another writer still holds stays.
void DeleteLeftOvers(const std::string& path)
{
    WIN32_FIND_DATAA found;
    const TFindHandle search(FindFirstFileA((path + ".*.tmp").c_str(), &found));
    if (!search)
        return;
    const std::string folder = path.substr(0, path.find_last_of("\\/") + 1);
    const size_t name = path.size() - folder.size();
    do {
        const std::string file = found.cFileName;
        // "<name>.<32 hexadecimal digits>.tmp", as TemporaryName makes them.
        if (file.size() == name + 37 && file.find_first_not_of("0123456789abcdef", name + 1) == name + 33)
            DeleteFileA((folder + file).c_str());
    } while (FindNextFileA(search.Get(), &found));
}

// Puts the file in the place of the one at target, through the handle: no
// one opens it between its last write and its move.
bool PutInPlace(HANDLE file, const std::string& target)
{
    const std::wstring name = WideFromText(target);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    return KernelApi().SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
}

std::string ProfileValue(const std::string& value)
{
    return ReadChanges(value) ? "\"" + value + "\"" : value;
}

size_t ProfileValueLimit(const std::string& value)
{
    return ReadChanges(value) ? ValueBuffer - 2 : ValueBuffer - 1;
}

TIniDocument::TIniDocument(std::string fileName) : fileName_(std::move(fileName)), path_(FullPath(fileName_))
{
    std::string bytes;
    TKernelHandle file(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        unreadable_ = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    } else {
        unreadable_ = !ReadWhole(file.Get(), bytes);
    }
    if (unreadable_)
        bytes.clear();

    std::string_view view(bytes);
    if (view.starts_with("\xFF\xFE")) {
        encoding_ = TEncoding::Utf16LE;
        Parse(FromUtf16(view.substr(2), false));
    } else if (view.starts_with("\xFE\xFF")) {
        encoding_ = TEncoding::Utf16BE;
        Parse(FromUtf16(view.substr(2), true));
    } else if (view.starts_with(Utf8Mark)) {
        encoding_ = TEncoding::Utf8;
        Parse(Widen(view.substr(Utf8Mark.size()), CP_UTF8));
    } else {
        // Without a mark the file is in the system's code page, whatever
        // this process speaks: as every program wrote it before.
        ansiCodePage_ = SystemCodePage();
        Parse(Widen(view, ansiCodePage_));
    }
}

void TIniDocument::Parse(const std::wstring& text)
{
    // Lines before the first section header belong to a section without a
    // name, which is written back without a header.
    sections_.assign(1, TSection());
    std::wstring_view rest(text);
    while (!rest.empty()) {
        size_t end = rest.find_first_of(L"\r\n");
        std::wstring_view line = Trimmed(rest.substr(0, end));
        rest.remove_prefix(end == std::wstring_view::npos ? rest.size() : end + 1);
        if (line.empty())
            continue;
        if (line.front() == L'[') {
            size_t close = line.rfind(L']');
            if (close != std::wstring_view::npos) {
                sections_.emplace_back();
                sections_.back().Name = UpToZero(Trimmed(line.substr(1, close - 1)));
                continue;
            }
        }
        // Every other line is a key, comments included; one without "=" has
        // no value and reads as missing.
        TKey key;
        size_t equals = line.find(L'=');
        key.Name = UpToZero(Trimmed(line.substr(0, equals)));
        if (equals != std::wstring_view::npos) {
            key.Value = UpToZero(Trimmed(line.substr(equals + 1)));
            key.HasValue = true;
        }
        sections_.back().Keys.push_back(std::move(key));
    }
    sectionsIndexed_ = false;
}

std::wstring TIniDocument::Text() const
{
    std::wstring text;
    for (const TSection& section : sections_) {
        if (!section.Name.empty())
            text.append(L"[").append(section.Name).append(L"]\r\n");
        for (const TKey& key : section.Keys) {
            text.append(key.Name);
            if (key.HasValue)
                text.append(L"=").append(key.Value);
            text.append(L"\r\n");
        }
    }
    return text;
}

std::string TIniDocument::Encoded(TEncoding& encoding) const
{
    // Written back in the encoding it was read in.
    encoding = encoding_;
    const std::wstring text = Text();
    switch (encoding_) {
    case TEncoding::Utf8:
        return std::string(Utf8Mark) + Narrow(text, CP_UTF8);
    case TEncoding::Utf16LE:
        return ToUtf16(text, false);
    case TEncoding::Utf16BE:
        return ToUtf16(text, true);
    case TEncoding::Ansi:
        break;
    }
    std::string bytes = Narrow(text, ansiCodePage_);
    if (Widen(bytes, ansiCodePage_) == text)
        return bytes;
    // A character the system's code page lacks would turn into "?": the file
    // takes the form of the profile functions that holds every character,
    // and keeps it.
    encoding = TEncoding::Utf16LE;
    return ToUtf16(text, false);
}

const TIniDocument::TSection* TIniDocument::FindSection(const std::string& section) const
{
    if (!sectionsIndexed_) {
        sectionIndex_.clear();
        for (size_t i = 0; i < sections_.size(); ++i)
            sectionIndex_.emplace(Folded(sections_[i].Name), i);
        sectionsIndexed_ = true;
    }
    auto found = sectionIndex_.find(Wanted(section));
    return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

TIniDocument::TSection* TIniDocument::FindSection(const std::string& section)
{
    return const_cast<TSection*>(static_cast<const TIniDocument*>(this)->FindSection(section));
}

const TIniDocument::TKey* TIniDocument::FindKey(const TSection& section, const std::string& key)
{
    const std::wstring wanted = Wanted(key);
    // Most sections hold a handful of keys: looking through them costs less
    // than an index.
    if (section.Keys.size() <= 16) {
        for (const TKey& entry : section.Keys)
            if (IsWanted(entry.Name, wanted))
                return &entry;
        return nullptr;
    }
    if (!section.Indexed) {
        section.Index.clear();
        for (size_t i = 0; i < section.Keys.size(); ++i)
            section.Index.emplace(Folded(section.Keys[i].Name), i);
        section.Indexed = true;
    }
    auto found = section.Index.find(wanted);
    return found == section.Index.end() ? nullptr : &section.Keys[found->second];
}

namespace {

// A damaged file may hold half of a UTF-16 pair, which no text of ours can:
// it reads as "?", as the profile functions read it, so that the rest of the
// file still reads.
std::string ReadText(std::wstring text)
{
    for (size_t at = 0; at < text.size(); ++at)
        if (IS_HIGH_SURROGATE(text[at]) && at + 1 < text.size() && IS_LOW_SURROGATE(text[at + 1]))
            ++at;
        else if (IS_HIGH_SURROGATE(text[at]) || IS_LOW_SURROGATE(text[at]))
            text[at] = L'?';
    return TextFromWide(text);
}

} // namespace

bool TIniDocument::SameName(const std::string& a, const std::string& b)
{
    return Wanted(a) == Wanted(b);
}

std::string TIniDocument::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) const
{
    const TSection* found = FindSection(section);
    const TKey* entry = found ? FindKey(*found, key) : nullptr;
    if (!entry || !entry->HasValue) {
        // The profile functions drop trailing blanks from a default.
        std::string value = defaultValue.substr(0, defaultValue.find('\0'));
        while (!value.empty() && value.back() == ' ')
            value.pop_back();
        if (value.size() >= ValueBuffer)
            value.resize(ValueBuffer - 1);
        return value;
    }
    std::wstring_view value = entry->Value;
    bool quoted = value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
                  value.back() == value.front();
    if (quoted)
        value.remove_prefix(1);
    // The buffer counts the file's characters, as the profile functions of
    // every program that wrote the catalogue before read them: a value kept
    // in the system's code page reads whole, however many bytes UTF-8 takes.
    std::wstring_view copied = value.substr(0, ValueBuffer - 1);
    // The closing quote is taken off what fitted the buffer; when the value
    // fills the buffer exactly, that is its last character instead.
    if (quoted && value.size() <= ValueBuffer)
        copied.remove_suffix(1);
    // A pair of UTF-16 units is not split.
    if (!copied.empty() && IS_HIGH_SURROGATE(copied.back()))
        copied.remove_suffix(1);
    return ReadText(std::wstring(copied));
}

int TIniDocument::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const
{
    return StrToIntDef(ReadString(section, key, ""), defaultValue);
}

bool TIniDocument::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniDocument::HasKey(const std::string& section, const std::string& key) const
{
    const TSection* found = FindSection(section);
    const TKey* entry = found ? FindKey(*found, key) : nullptr;
    return entry && entry->HasValue;
}

bool TIniDocument::HasSection(const std::string& section) const
{
    const TSection* found = FindSection(section);
    return found && !found->Keys.empty();
}

std::vector<std::string> TIniDocument::KeyNames(const std::string& section) const
{
    std::vector<std::string> names;
    if (const TSection* found = FindSection(section)) {
        names.reserve(found->Keys.size());
        for (const TKey& key : found->Keys)
            if (key.HasValue)
                names.push_back(ReadText(key.Name));
    }
    return names;
}

std::vector<std::string> TIniDocument::SectionNames() const
{
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const TSection& section : sections_)
        if (!section.Name.empty())
            names.push_back(ReadText(section.Name));
    return names;
}

void TIniDocument::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    TSection* target = FindSection(section);
    if (!target) {
        sections_.emplace_back();
        sections_.back().Name = Stored(section);
        if (sectionsIndexed_)
            sectionIndex_.emplace(Folded(sections_.back().Name), sections_.size() - 1);
        target = &sections_.back();
    }
    std::wstring stored = Stored(value);
    TKey* entry = const_cast<TKey*>(FindKey(*target, key));
    if (!entry) {
        target->Keys.push_back({Stored(key), std::move(stored), true});
        if (target->Indexed)
            target->Index.emplace(Folded(target->Keys.back().Name), target->Keys.size() - 1);
        changed_ = true;
        return;
    }
    if (entry->HasValue && entry->Value == stored)
        return;
    entry->Value = std::move(stored);
    entry->HasValue = true;
    changed_ = true;
}

void TIniDocument::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniDocument::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void TIniDocument::DeleteKey(const std::string& section, const std::string& key)
{
    TSection* target = FindSection(section);
    const TKey* entry = target ? FindKey(*target, key) : nullptr;
    if (!entry)
        return;
    target->Keys.erase(target->Keys.begin() + (entry - target->Keys.data()));
    target->Indexed = false;
    changed_ = true;
}

void TIniDocument::EraseSection(const std::string& section)
{
    const TSection* target = FindSection(section);
    if (!target)
        return;
    sections_.erase(sections_.begin() + (target - sections_.data()));
    sectionsIndexed_ = false;
    changed_ = true;
}

void TIniDocument::Save()
{
    if (!changed_)
        return;
    // Writing over a file that could not be read would lose what it holds.
    if (unreadable_)
        RaiseWriteError(fileName_);
    TEncoding encoding = encoding_;
    const std::string bytes = Encoded(encoding);
    const std::string target = ReplacedPath(path_);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    const bool replacing = attributes != INVALID_FILE_ATTRIBUTES;
    // The new file replaces the old one whole, so it is the old one in all
    // but its text from the moment it exists: who owns it, who may read it
    // (parameters may hold secrets), what is audited, its attributes. Nothing
    // shares it until it is in place.
    TLocalMemory guard = replacing ? GuardOf(target) : TLocalMemory();
    if (replacing && !guard)
        RaiseWriteError(fileName_);
    SECURITY_ATTRIBUTES security = {sizeof security, guard.Get(), FALSE};
    constexpr DWORD Carried =
        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD created = replacing && attributes & Carried ? attributes & Carried : FILE_ATTRIBUTE_NORMAL;
    DeleteLeftOvers(target);
    TKernelHandle file;
    for (int tries = 0; !file && tries < 3; ++tries)
        file = TKernelHandle(KernelApi().CreateFileA(TemporaryName(target).c_str(), GENERIC_WRITE | DELETE, 0,
                                                     replacing ? &security : nullptr, CREATE_NEW, created, nullptr));
    if (!file)
        RaiseWriteError(fileName_);
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.Get()) || !PutInPlace(file.Get(), target)) {
        // Gone with its handle, which no one else holds.
        FILE_DISPOSITION_INFO gone = {TRUE};
        ::SetFileInformationByHandle(file.Get(), FileDispositionInfo, &gone, sizeof gone);
        RaiseWriteError(fileName_);
    }
    changed_ = false;
    encoding_ = encoding;
    // The profile functions may keep the text they read last; they are told
    // to read the file again rather than write an old copy back over it.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str());
}

TFileStamp TIniDocument::Stamp(const std::string& fileName)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    TFileStamp stamp;
    if (!GetFileAttributesExA(FullPath(fileName).c_str(), GetFileExInfoStandard, &data))
        return stamp;
    stamp.Exists = true;
    stamp.WriteTime = (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    stamp.Size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return stamp;
}

namespace {

// Only administrators and LocalSystem may take the lock, or learn who holds
// it: a lesser program could otherwise hold it and block every change.
constexpr const char* LockGuard = "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";
constexpr const char* LockGuardOwnOwner = "D:P(A;;GA;;;BA)(A;;GA;;;SY)";

// Administrators, LocalSystem, or the user this process runs as.
bool Admitted(PSID sid)
{
    if (!sid || !IsValidSid(sid))
        return false;
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid))
        return true;
    TKernelHandle token;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()) &&
           GetTokenInformation(token.Get(), TokenUser, user, sizeof user, &size) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, sid);
}

// Whether an object that exists already was made as ours are: owned by an
// administrator, with a list that lets no one else do anything with it. One
// that a lesser program made first is refused, not used.
bool OnlyAdministrators(HANDLE object)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (SecurityApi().GetSecurityInfo(object, SE_KERNEL_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                                      nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const TLocalMemory descriptor(raw);
    // No list at all lets everyone in.
    if (!dacl || !Admitted(owner))
        return false;
    for (WORD at = 0; at < dacl->AceCount; ++at) {
        void* ace = nullptr;
        if (!GetAce(dacl, at, &ace))
            return false;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !Admitted(const_cast<DWORD*>(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart)))
            return false;
    }
    return true;
}

// One name per file, whatever spelling reaches it; a name may not hold "\\"
// and has a length limit, so the path goes in as a hash.
std::string WriteLockName(const std::string& fileName)
{
    unsigned long long hash = 1469598103934665603ull;
    for (char c : LowerCase(FullPath(fileName))) {
        hash ^= static_cast<unsigned char>(c == '/' ? '\\' : c);
        hash *= 1099511628211ull;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Global\\Quorvane.IniWrite.%016llx", hash);
    return name;
}

// The lock's object of that kind (a mutex, or the record of its holder)
// with the administrators' guard; one made before by anyone else is
// refused with the reason.
template <class Make>
TKernelHandle GuardedObject(const std::string& fileName, const char* what, Make make)
{
    TKernelHandle object;
    bool existed = false;
    for (const char* guard : {LockGuard, LockGuardOwnOwner}) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorA(guard, SDDL_REVISION_1, &raw, nullptr);
        const TLocalMemory descriptor(raw);
        SECURITY_ATTRIBUTES security = {sizeof security, raw, FALSE};
        object = TKernelHandle(make(&security));
        const DWORD error = GetLastError();
        existed = error == ERROR_ALREADY_EXISTS;
        // A process whose own user owns what it makes, not the
        // administrators, makes it so.
        if (object || error != ERROR_INVALID_OWNER)
            break;
    }
    if (!object)
        RaiseWriteError(fileName);
    if (existed && !OnlyAdministrators(object.Get()))
        throw TError("The catalogue " + FileNameOf(fileName) + " cannot be changed: its " + what +
                     " was made by a program that lets others than administrators take it. It goes once every "
                     "program holding it has ended; restart Windows if it stays");
    return object;
}

// Who holds the lock, in a record beside it that only its holder writes:
// the holder's process and thread, and how often that thread has taken it.
struct THolderRecord {
    DWORD Process;
    DWORD Thread;
    DWORD Depth;
};

// What the user reads of the holder: "qv.exe" (process 1234).
std::string HolderText(DWORD process)
{
    TKernelHandle handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process));
    char image[MAX_PATH * 2];
    DWORD size = sizeof image;
    if (handle && QueryFullProcessImageNameA(handle.Get(), 0, image, &size))
        return "\"" + FileNameOf(std::string(image, size)) + "\" (process " + std::to_string(process) + ")";
    return "process " + std::to_string(process);
}

} // namespace

TIniWriteLock::TIniWriteLock(const std::string& fileName, unsigned long waitMs)
    : name_(WriteLockName(fileName)),
      mutex_(GuardedObject(fileName, "write lock", [&](SECURITY_ATTRIBUTES* security) {
          return CreateMutexA(security, FALSE, name_.c_str());
      })),
      holder_(GuardedObject(fileName, "write lock's holder record", [&](SECURITY_ATTRIBUTES* security) {
          return CreateFileMappingA(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0, sizeof(THolderRecord),
                                    (name_ + ".Holder").c_str());
      })),
      record_(MapViewOfFile(holder_.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(THolderRecord)))
{
    auto* record = static_cast<volatile THolderRecord*>(record_);
    if (!record)
        RaiseWriteError(fileName);
    // A writer that died holding it leaves it abandoned: ours then, and the
    // file it was writing is still whole, since writes replace it in one step.
    const DWORD waited = WaitForSingleObject(mutex_.Get(), waitMs);
    // Nothing is wrong with the file: someone else is writing it.
    if (waited == WAIT_TIMEOUT) {
        const DWORD holder = record->Process;
        UnmapViewOfFile(record_);
        throw TError("The catalogue " + FileNameOf(fileName) + " is busy: " +
                     (holder ? HolderText(holder) : std::string("another program")) +
                     " is changing it. Please try again in a moment");
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        UnmapViewOfFile(record_);
        RaiseWriteError(fileName);
    }
    // A holder that died leaves its record: this thread's own counts alone.
    if (waited == WAIT_ABANDONED || record->Process != GetCurrentProcessId() ||
        record->Thread != GetCurrentThreadId()) {
        record->Process = GetCurrentProcessId();
        record->Thread = GetCurrentThreadId();
        record->Depth = 0;
    }
    ++record->Depth;
}

TIniWriteLock::~TIniWriteLock()
{
    auto* record = static_cast<volatile THolderRecord*>(record_);
    if (--record->Depth == 0)
    {
        record->Process = 0;
        record->Thread = 0;
    }
    UnmapViewOfFile(record_);
    ReleaseMutex(mutex_.Get());
}

std::string TIniWriteLock::Name(const std::string& fileName)
{
    return WriteLockName(fileName);
}
