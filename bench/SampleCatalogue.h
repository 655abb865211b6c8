#pragma once
#include <windows.h>

#include <string>

#include "catalogue/Catalogue.h"

// A catalogue of the given size as AppendEntry leaves it, written in one go;
// every third entry is installed.
inline void MakeCatalogue(const std::string& file, int entries)
{
    DeleteFileA(file.c_str());
    TIniDocument ini(file);
    ini.WriteInteger(StatusSection, "LastServiceID", entries);
    ini.WriteInteger(StatusSection, "NumServices", entries);
    for (int i = 1; i <= entries; ++i)
        ini.WriteString(StatusSection, ServiceKey(i), "Service number " + std::to_string(i));
    for (int i = 1; i <= entries; ++i) {
        std::string section = "Service number " + std::to_string(i);
        ini.WriteString(section, ProgramKey, "C:\\Programs\\service" + std::to_string(i) + ".exe");
        ini.WriteString(section, ParametersKey, "--port " + std::to_string(8000 + i));
        ini.WriteString(section, LogFileKey, "");
        ini.WriteBool(section, LogToFileKey, false);
        ini.WriteBool(section, InstalledKey, i % 3 == 0);
        ini.WriteInteger(section, ServiceIDKey, i);
    }
    ini.Save();
}
