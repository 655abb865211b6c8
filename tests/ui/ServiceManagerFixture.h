#pragma once
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "tests/support/ScriptedPrompter.h"
#include "tests/support/TempFiles.h"
#include "tests/support/WindowDriver.h"
#include "toolkit/window/Application.h"
#include "ui/uServiceManager.h"

inline const char* const AllButtons[] = {"btnNewService",      "btnDelete",         "btnEditService",
                                  "btnStopService",     "btnStartServiceNow", "btnInstallService",
                                  "btnUnInstallService", "btnCheckActive",    "btnCheckAll"};

// The real main window over a catalogue of its own, with every box answered
// by a script.
class ServiceManagerTest : public ::testing::Test {
protected:
    TTempFolder folder;
    std::string file = folder.File("QXServices.ini");
    TCatalogue catalogue{file};
    TScriptedPrompter prompter;
    std::unique_ptr<TfrmServiceManager> form;

    void TearDown() override { form.reset(); }

    void Open()
    {
        form = std::make_unique<TfrmServiceManager>(file);
        form->QuitOnClose = false;
        form->Show();
        PumpMessages();
    }
    int Add(const std::string& description, bool installed = false, bool logToFile = false)
    {
        int index = catalogue.AppendEntry(description, "C:\\bin\\" + description + ".exe", "-x", "C:\\log.txt",
                                          logToFile);
        if (installed)
            TIniFile(file).WriteBool(description, InstalledKey, true);
        return index;
    }
    void Select(int row)
    {
        ListView_SetItemState(form->Control("lvServices"), row, LVIS_SELECTED | LVIS_FOCUSED,
                              LVIS_SELECTED | LVIS_FOCUSED);
    }
    int RowOf(const std::string& caption)
    {
        auto captions = form->List().Captions();
        for (size_t i = 0; i < captions.size(); ++i)
            if (captions[i] == caption)
                return static_cast<int>(i);
        return -1;
    }
    bool Enabled(const char* button) { return IsWindowEnabled(form->Control(button)); }
    std::string EnabledButtons()
    {
        std::string enabled;
        for (const char* b : AllButtons)
            if (Enabled(b))
                enabled += std::string(enabled.empty() ? "" : " ") + b;
        return enabled;
    }
    void ClickButton(const char* button) { SendMessageA(form->Control(button), BM_CLICK, 0, 0); }
};

