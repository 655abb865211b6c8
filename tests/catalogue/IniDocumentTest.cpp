#include <gtest/gtest.h>

#include <windows.h>

#include <functional>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "stub/StubSettings.h"
#include "tests/support/Errors.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Text.h"

namespace {

// Our text (UTF-8) as a file in the system's code page without a mark, or
// as UTF-8 or UTF-16 with one.
std::string Recoded(const std::string& text, const std::string& encoding)
{
    static wchar_t wide[16384];
    static char narrow[49152];
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide, 16384);
    if (encoding == "ansi" || encoding == "utf-8") {
        const bool ansi = encoding == "ansi";
        const int size = WideCharToMultiByte(ansi ? SystemCodePage() : CP_UTF8, 0, wide, length, narrow,
                                             sizeof narrow, nullptr, nullptr);
        return (ansi ? "" : "\xEF\xBB\xBF") + std::string(narrow, size);
    }
    bool big = encoding == "utf-16be";
    std::string bytes(big ? "\xFE\xFF" : "\xFF\xFE");
    for (wchar_t c : std::wstring_view(wide, length))
        bytes.append({static_cast<char>(big ? c >> 8 : c), static_cast<char>(big ? c : c >> 8)});
    return bytes;
}

std::string ProfileRead(const std::string& section, const std::string& key, const std::string& file)
{
    char buffer[1024];
    DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), "(default)  ", buffer, sizeof buffer,
                                            file.c_str());
    return std::string(buffer, length);
}

} // namespace

TEST(IniDocument, ReadsEveryKeyAsTheProfileFunctionsDo)
{
    TTempFolder folder;
    const std::string file = folder.File("QXServices.ini");
    const std::string text = "before any section\r\nPlain=nameless\r\n; comment=with equals\r\n\r\n \t \r\n"
                             "[Other]\r\nPlain=other\r\n"
                             "[  Entry  ] trailing words\r\n"
                             "Plain=value\r\n  Padded  =   spaced value   \r\n\tTabbed\t=\ttabbed\t\r\n"
                             "Quoted=\"in quotes\"\r\nSingle='single'\r\nHalf=\"only one\r\nMixed=\"mixed'\r\n"
                             "Twice=\"\"double\"\"\r\nEmptyQuotes=\"\"\r\nOneQuote=\"\r\nEmpty=\r\nEquals=a=b\r\n"
                             "Case=first\r\nCASE=second\r\nNoValue\r\n=no name\r\n"
                             "Long=" + std::string(1500, 'L') + "\r\n"
                             "Q1022=\"" + std::string(1022, 'q') + "\"\r\n"
                             "Q1023=\"" + std::string(1023, 'q') + "\"\r\n"
                             "Q1024=\"" + std::string(1024, 'q') + "\"\r\n"
                             "Number= 0x1A\r\nEof=\x1A value \x1A\r\nNbsp=\u00A0x\u00A0\r\n"
                             "Zero=before" + std::string(1, '\0') + "after\r\n"
                             "Cr=carriage\rAfterCr=next\nAfterLf=next\r\n"
                             "[a]b]\r\nBracket=inner\r\n[broken\r\nAfterBroken=in a]b\r\n"
                             "[]\r\nInEmpty=x\r\n"
                             "[entry]\r\nLater=not seen\r\n"
                             "[\u00DCn\u00EFcode]\r\nKey=\u00E9t\u00E9\r\n";
    const std::vector<std::string> sections = {"", "Other", "Entry", "  entry  ", "a]b", "\u00DCN\u00EFCODE", "\u00FCN\u00CFCODE",
                                               "Missing"};
    const std::vector<std::string> keys = {
        "Plain", "padded", "  Tabbed ", "Quoted", "Single", "Half", "Mixed", "Twice", "EmptyQuotes", "OneQuote",
        "Empty", "Equals", "case", "NoValue", "", "Long", "Q1022", "Q1023", "Q1024", "Number", "Eof", "Nbsp",
        "Zero", "Cr", "AfterCr", "AfterLf", "Bracket", "[broken", "AfterBroken", "InEmpty", "Later", "Key",
        "; comment", "Missing"};
    // The profile functions read a file without a mark in the code page of
    // the caller, which is UTF-8 here: they read the UTF-16 form as the oracle.
    const std::string oracle = folder.File("oracle.ini");
    WriteTextFile(oracle, Recoded(text, "utf-16le"));
    for (const char* encoding : {"ansi", "utf-8", "utf-16le", "utf-16be"}) {
        WriteTextFile(file, Recoded(text, encoding));
        const TIniDocument document(file);
        for (const std::string& section : sections)
            for (const std::string& key : keys)
                EXPECT_EQ(document.ReadString(section, key, "(default)  "), ProfileRead(section, key, oracle))
                    << encoding << " [" << section << "] " << key;
        EXPECT_EQ(document.ReadInteger("Entry", "Number", 0), 26);
        EXPECT_TRUE(document.HasSection("a]b"));
        EXPECT_FALSE(document.HasSection("Missing"));
    }
}

namespace {

// The catalogue's operations as the separate profile calls that made them
// before: what its own writes must leave in the file, byte for byte. A value
// the profile functions would read back otherwise ("  -p") is written in one
// more pair of quotes.
struct TProfileCatalogue {
    TIniFile ini;

    void Append(const std::string& description, int count, int lastID)
    {
        ini.WriteInteger("Status", "LastServiceID", lastID + 1);
        ini.WriteInteger("Status", "NumServices", count + 1);
        ini.WriteString("Status", ServiceKey(count + 1), description);
        Settings(description);
        ini.WriteInteger(description, "ServiceID", lastID + 1);
    }
    void Update(int index, const std::string& description)
    {
        std::string previous = ini.ReadString("Status", ServiceKey(index), "");
        std::string id = ini.ReadString(previous, "ServiceID", ""), stub = ini.ReadString(previous, "Vantorer", "");
        ini.WriteString("Status", ServiceKey(index), description);
        Settings(description);
        if (LowerCase(previous) != LowerCase(description)) {
            ini.WriteString(description, "ServiceID", id);
            ini.WriteString(description, "Vantorer", stub);
            ini.EraseSection(previous);
        }
    }
    void Delete(int index, int count)
    {
        ini.EraseSection(ini.ReadString("Status", ServiceKey(index), ""));
        ini.DeleteKey("Status", ServiceKey(index));
        for (int i = index + 1; i <= count; ++i)
            ini.WriteString("Status", ServiceKey(i - 1), ini.ReadString("Status", ServiceKey(i), ""));
        ini.WriteInteger("Status", "NumServices", count - 1);
    }
    void Settings(const std::string& description)
    {
        for (const auto& [key, value] : {std::pair<const char*, std::string>{"Program", "C:\\" + description},
                                         {"Parameters", "\"  -p\""}, {"LogFile", ""}, {"LogToFile", "1"},
                                         {"Installed", "0"}})
            ini.WriteString(description, key, value);
    }
};

} // namespace

TEST(CatalogueFile, WritesWhatTheProfileFunctionsWouldHaveWritten)
{
    TTempFolder folder;
    const std::string text = "; edited by hand\r\n[Status]\r\nNumServices=3\r\nLastServiceID=7\r\n; the list\r\n"
                             "Service_1=Mail Relay\r\nService_2=Print Spool\r\nService_3=Backup\r\nUnknown=kept\r\n"
                             "[mail relay]\r\nProgram=\"C:\\Program Files\\relay.exe\"\r\nParameters=-v Z\xFCrich\r\n"
                             "; about the relay\r\nCustom=own key\r\nServiceID=5\r\n"
                             "Vantorer=C:\\windows\\Vantorers\\Mail!Relay.exe\r\nInstalled=1\r\n"
                             "[WindowStatus]\r\nNormPos=1,2,3,4\r\n[Print Spool]\r\nProgram=C:\\spool.exe\r\n"
                             "ServiceID=6\r\nVantorer=C:\\p.exe\r\n[Third Party]\r\nAnything=goes\r\n\r\n[Backup]\r\n"
                             "Program=C:\\backup.exe\r\n  Padded Key  =  padded value  \r\nServiceID=7\r\n"
                             "Vantorer=C:\\b.exe\r\n[Third Party]\r\nSecond=copy\r\n";
    // Text beyond ASCII stays what it was in every encoding.
    for (const char* encoding : {"ansi", "utf-8", "utf-16le"}) {
        const std::string byProfile = folder.File("profile.ini"), byCatalogue = folder.File("QXServices.ini");
        for (const std::string& file : {byProfile, byCatalogue})
            WriteTextFile(file, Recoded(text, encoding));
        TProfileCatalogue profile{TIniFile(byProfile)};
        TCatalogue catalogue(byCatalogue);
        auto edit = [&](int index, const std::string& description) {
            catalogue.UpdateEntry(index, description, "C:\\" + description, "  -p", "", true);
        };
        const std::vector<std::pair<std::function<void()>, std::function<void()>>> steps = {
            {[&] { profile.Append("Web Server", 3, 7); },
             [&] { catalogue.AppendEntry("Web Server", "C:\\Web Server", "  -p", "", true); }},
            {[&] { profile.Update(1, "Mail Gateway"); }, [&] { edit(1, "Mail Gateway"); }},
            {[&] { profile.Delete(1, 4); }, [&] { catalogue.DeleteEntry(1); }},
            {[&] { profile.Update(1, "PRINT SPOOL"); }, [&] { edit(1, "PRINT SPOOL"); }},
            {[&] { profile.Delete(3, 3); }, [&] { catalogue.DeleteEntry(3); }},
        };
        for (size_t step = 0; step < steps.size(); ++step) {
            steps[step].first();
            steps[step].second();
            // The window-state store writes through the profile functions
            // between the catalogue's writes, and must not undo them.
            for (const std::string& file : {byProfile, byCatalogue})
                TIniFile(file).WriteInteger("WindowStatus", "Flags", static_cast<int>(step));
            ASSERT_EQ(ReadTextFile(byCatalogue), ReadTextFile(byProfile)) << encoding << " step " << step;
        }
    }
}

// What a user gives is what the profile functions, this program's reader and
// the service host read back; what they cannot read back whole is refused.
TEST(CatalogueFile, EveryValueReadsBackAsGivenByEveryReader)
{
    TTempFolder folder;
    const std::string file = folder.File("QXServices.ini");
    const std::string copy = folder.File("Relay.exe");
    TCatalogue catalogue(file);
    catalogue.AppendEntry("Relay", "C:\\relay.exe", "", "", false);
    catalogue.RecordStubPath("Relay", copy);
    const std::string quoted1022 = std::string(1, '"') + std::string(1020, 'q') + '"';
    for (const std::string& value :
         {std::string("\"C:\\Web App\\server.js\""), std::string("  --lead"), std::string("trail\t "),
          std::string("'single'"), std::string("\""), std::string("\"\""), std::string("\"a\" -b \"c\""),
          std::string("\x1A"), std::string(1023, 'x'), quoted1022, std::string("-q")}) {
        catalogue.UpdateEntry(1, "Relay", value, value, value, true);
        EXPECT_EQ(ProfileRead("Relay", "Parameters", file), value);
        const TCatalogueEntry entry = TCatalogueSnapshot(file).Entry(1);
        EXPECT_EQ(entry.Program + "|" + entry.LogFile, value + "|" + value);
        EXPECT_EQ(LoadSettings(copy, file).Parameters, value);
    }
    // A value stored plain stays plain, as files written before hold them.
    EXPECT_NE(ReadTextFile(file).find("Parameters=-q\r\n"), std::string::npos);

    const std::string before = ReadTextFile(file);
    EXPECT_EQ(ErrorOf([&] { catalogue.UpdateEntry(1, "Relay", "C:\\x.exe", std::string(1024, 'x'), "", false); }),
              "The parameter line is 1024 characters long: the catalogue keeps at most 1023 characters of it "
              "(1023, or 1022 for one that begins or ends with a blank or a quote)");
    EXPECT_NE(ErrorOf([&] { catalogue.AppendEntry("Other", '"' + quoted1022 + '"', "", "", false); })
                  .find("The program is 1024 characters long: the catalogue keeps at most 1022 characters"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] { catalogue.AppendEntry("Other", "C:\\x.exe", "", ' ' + std::string(1022, 'l'), true); })
                  .find("The log file is 1023 characters long"),
              std::string::npos);
    EXPECT_EQ(ReadTextFile(file), before);
}
