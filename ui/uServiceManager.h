#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "messaging/Liveness.h"
#include "platform/Kernel.h"
#include "toolkit/Component.h"
#include "toolkit/Published.h"

class TFormStorage;

// A child window known by name, with its bounds reachable as published
// integer properties (the window-state store keeps some of them).
class TControl : public TComponent, public TPublishedIntegers {
public:
    TControl(TComponent* owner, const std::string& name, HWND handle);
    HWND Handle() const { return handle_; }
    void SetHandle(HWND handle) { handle_ = handle; }
    int Tag = 0;

    std::vector<std::string> IntegerProperties() const override;
    int GetInteger(const std::string& name) const override;
    void SetInteger(const std::string& name, int value) override;
    // Where a property change goes; the window lays its children out.
    std::function<void(const std::string&, int)> OnSetInteger;
    // A value the window keeps for the control; nothing reads the bounds.
    std::function<std::optional<int>(const std::string&)> OnGetInteger;

private:
    HWND handle_;
};

// The main window: the service list, the details panel, the speed buttons
// and the menu, and every command they run.
class TfrmServiceManager : public TComponent {
public:
    explicit TfrmServiceManager(const std::string& catalogueFile = CatalogueFileName);
    ~TfrmServiceManager() override;

    HWND Handle() const { return handle_; }
    // Restores the layout, loads the list and shows the window.
    void Show();
    // Asks the window to close, as its close box does.
    void Close();
    bool Closed() const { return closed_; }
    // The program ends when its main window closes; tests keep running.
    bool QuitOnClose = true;

    HWND Control(const std::string& name) const;
    TCatalogue& Catalogue() { return catalogue_; }
    TLiveness& Liveness() { return liveness_; }
    TFormStorage& FormStorage1() { return *formStorage_; }
    std::vector<std::string> MemoLines() const { return memoLines_; }

    // Clicks a button the way the program's own commands do: the command
    // runs even when the button is disabled.
    void Click(const std::string& button);

    // Commands and handlers.
    void FormShow();
    void LoadList();
    void lvServicesChange();
    void NoSelectionState();
    void btnNewServiceClick();
    void btnEditServiceClick();
    void btnDeleteClick();
    void btnStopServiceClick(HWND sender);
    void btnInstallServiceClick();
    void btnUnInstallServiceClick();
    void btnCheckActiveClick();
    void btnCheckAllClick();
    void QuickGuide1Click();
    void About1Click();
    void Exit1Click();

    // The list index carried by the selected row, or 0 with no selection.
    int SelectedIndex() const;
    int SelectedRow() const;
    // The selected row; with none, applies the no-selection state first.
    int SelectedRowOrNoSelectionState();
    // True while a command waits (for a service's answer or for the service
    // host to end); commands that act on an entry are refused meanwhile.
    bool Busy() const { return waits_ > 0 || liveness_.Waiting(); }
    // Row texts in display order.
    std::vector<std::string> RowCaptions() const;
    int RowImage(int row) const;
    int RowData(int row) const;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void FormCreate();
    void FormCloseQuery();
    void FormDestroy();
    void CreateControls();
    void CreateMenu();
    void LayOut();
    void Command(int id, HWND sender);
    void SetMemoLines(std::vector<std::string> lines);
    void AddMemoLine(const std::string& line);
    void SetButtonEnabled(const char* name, bool enabled);
    bool ButtonEnabled(const char* name) const;
    void SetRowImage(int row, int image);
    int AddRow(const std::string& caption, int index, int image);
    void SortRows();
    void SplitterDrag(int x);
    int RowOfIndex(int index) const;
    void Uninstall();
    void AwaitRun(HANDLE process);

    TCatalogue catalogue_;
    TLiveness liveness_;
    // Held while the window lives: tells a second window from the command line.
    TKernelHandle presence_;
    HWND handle_ = nullptr;
    HWND tooltips_ = nullptr;
    HFONT memoFont_ = nullptr;
    HBRUSH memoBrush_ = nullptr;
    std::map<std::string, TControl*> controls_;
    std::map<int, std::string> commandNames_;
    TFormStorage* formStorage_ = nullptr;
    std::vector<std::string> memoLines_;
    // The list's width as the user set it; a window too narrow for it (or
    // minimized) shows less, but this is what is kept.
    int listWidth_ = 202;
    int waits_ = 0;
    bool closed_ = false;
    bool destroyed_ = false;
};
