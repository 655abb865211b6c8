#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "deploy/Deploy.h"
#include "messaging/Liveness.h"
#include "platform/Kernel.h"
#include "toolkit/Component.h"
#include "toolkit/window/Control.h"
#include "toolkit/window/Gdi.h"
#include "toolkit/Timer.h"
#include "toolkit/window/Window.h"
#include "ui/ServiceList.h"

class TFormStorage;

// The main window: the service list, the details panel, the speed buttons
// and the menu, and every command they run. Its chrome, list and panel are
// in uServiceManager.cpp; its commands on entries in EntryCommands.cpp, on
// their services in ServiceCommands.cpp, and its checks in
// CheckCommands.cpp.
class TfrmServiceManager : public TComponent, public TWindow {
public:
    // The tags of the two buttons the start and stop command serves: stop
    // only for the stop button's tag, start for any other.
    enum TServiceTag : int { tagStop = 1, tagStart = 2 };

    // How a command of a button or a menu item runs: a handler of the
    // window, given the control that sent it.
    using TCommandRun = void (*)(TfrmServiceManager& form, HWND sender);

    explicit TfrmServiceManager(const std::string& catalogueFile = CatalogueFileName);
    ~TfrmServiceManager() override;

    // Restores the layout, loads the list and shows the window.
    void Show();
    // Asks the window to close, as its close box does.
    void Close();
    bool Closed() const { return closed_; }
    // The program ends when its main window closes; tests keep running.
    bool QuitOnClose = true;

    HWND Control(const std::string& name) const;
    const TControls& Controls() const { return controls_; }
    TCatalogue& Catalogue() { return catalogue_; }
    TLiveness& Liveness() { return liveness_; }
    TFormStorage& FormStorage1() { return *formStorage_; }
    std::vector<std::string> MemoLines() const { return memoLines_; }

    // Clicks a button the way the program's own commands do: the button's
    // command runs at once, even when the button is disabled.
    void Click(const std::string& button);

    // Commands and handlers.
    void FormShow();
    void LoadList();
    // Lists the catalogue again when another program changed it since it was
    // listed (or always), keeping the selection on the same entry. Run by the
    // CatalogueWatch timer and when the window is activated; not while a
    // command waits.
    void FollowCatalogue(bool always = false);
    TTimer& CatalogueWatch() { return catalogueWatch_; }
    // The line under the details panel: what the selected entry's service
    // and program are doing. Refreshed by the StatusWatch timer (once a
    // second while the window is active) and at every selection change.
    void ShowServiceStatus();
    TTimer& StatusWatch() { return statusWatch_; }
    std::string StatusLine() const;
    void lvServicesChange();
    void NoSelectionState();
    void btnNewServiceClick();
    void btnEditServiceClick();
    void btnDeleteClick();
    void btnStopServiceClick(HWND sender);
    void btnInstallServiceClick();
    // The selected entry's settings in their dialog; stored when it ends with
    // OK, and an installed entry's service changed at once.
    void SettingsClick();
    // The list's context menu, for the selected entry.
    void lvServicesContextMenu();
    void btnUnInstallServiceClick();
    void btnCheckActiveClick();
    void btnCheckAllClick();
    void QuickGuide1Click();
    void About1Click();
    void Exit1Click();

    // True while a command waits (for a service's answer or for the service
    // host to end); commands that act on an entry are refused meanwhile.
    bool Busy() const { return waits_ > 0 || liveness_.Waiting(); }
    const TServiceList& List() const { return list_; }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void FormCreate();
    void FormCloseQuery();
    void FormDestroy();
    void CreateControls();
    void CreateMenu();
    void LayOut();
    // A command as a button, a menu item or a double click sends it.
    struct TCommand {
        TCommandRun Run;
        // It may run while another command waits.
        bool DuringWait;
        // The button it stands for, the sender when none is given.
        const char* Button;
    };
    void Command(const TCommand& command, HWND sender);
    void SetMemoLines(std::vector<std::string> lines);
    void AddMemoLine(const std::string& line);
    void SetButtonEnabled(const char* name, bool enabled);
    bool ButtonEnabled(const char* name) const;
    void SplitterDrag(int x);
    // Fills the list from the catalogue without the selection-change handling.
    void FillList();
    // The selected row's entry as the catalogue holds it now, found again
    // by the row's key. Nothing when no row is selected (the no-selection
    // state is applied) or when another program changed the entry meanwhile
    // (a box says so and the list follows).
    std::optional<TCatalogueEntry> LoadSelected();
    // For an entry another program changed before a command could act on
    // it: says so in a box, lists the catalogue again and returns true.
    bool ChangedMeanwhile(TEntryOutcome outcome, const TEntryKey& key);
    void Uninstall(const TCatalogueEntry& entry);
    // Installs or uninstalls the entry with the window painting meanwhile.
    // Nothing when the service host's run could not start or end in time,
    // or the copy of a done uninstall could not be deleted: an error box
    // has said so. A named account's password goes to the install run.
    std::optional<TDeployment> Deploy(const TEntryKey& key, bool install, const TSecret& password = TSecret());
    void AwaitRun(HANDLE process);

    // The rule under a heading of the details panel.
    static constexpr const char* Dashes = "----------------------------------------";

    TCatalogue catalogue_;
    TLiveness liveness_;
    // Held while the window lives: tells a second window from the command line.
    TKernelHandle presence_;
    HWND tooltips_ = nullptr;
    // The number the service hosts' reply message has in this session.
    UINT replyMessage_ = 0;
    TFont memoFont_;
    TBrush memoBrush_;
    TControls controls_{this};
    // By command id.
    std::map<int, TCommand> commands_;
    TFormStorage* formStorage_ = nullptr;
    std::vector<std::string> memoLines_;
    // The list's width as the user set it; a window too narrow for it (or
    // minimized) shows less, but this is what is kept.
    int listWidth_ = 202;
    TServiceList list_;
    // The catalogue file as it was when the list was filled.
    TFileStamp listedStamp_;
    TTimer catalogueWatch_;
    TTimer statusWatch_;
    bool listing_ = false;
    int waits_ = 0;
    bool closed_ = false;
    bool destroyed_ = false;
};
