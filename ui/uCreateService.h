#pragma once
#include <windows.h>

#include <string>

#include "toolkit/window/Application.h"
#include "toolkit/Component.h"
#include "toolkit/window/Control.h"
#include "toolkit/window/Gdi.h"
#include "toolkit/window/Window.h"

// The service wizard: four pages that collect one catalogue entry's
// description, program, parameters and logging. It only collects and checks
// input; the caller reads the fields back after Finish and saves them.
class TfrmCreateService : public TComponent, public TWindow {
public:
    // The tags of the two buttons that move between pages.
    enum TStepTag : int { tagBackward = 1, tagForward = 2 };

    // Creates the window hidden, every control in its creation state.
    TfrmCreateService();
    ~TfrmCreateService() override;
    TfrmCreateService(const TfrmCreateService&) = delete;
    TfrmCreateService& operator=(const TfrmCreateService&) = delete;

    // Shows the wizard modally over owner (which is disabled meanwhile).
    // Returns mrOk on Finish, mrCancel on Cancel, Esc or the close box. The
    // same instance can be shown again; it keeps its fields and buttons.
    int ShowModal(HWND owner);

    // The fields: set before ShowModal for an edit, read after it returns mrOk.
    // Texts are handed over exactly as they stand, untrimmed.
    std::string Description() const;
    void SetDescription(const std::string& text);
    std::string Program() const;
    void SetProgram(const std::string& text);
    std::string CommandLine() const;
    void SetCommandLine(const std::string& text);
    std::string Logfile() const;
    void SetLogfile(const std::string& text);
    bool LogToFile() const;
    // Also runs cbxLogToFileClick, so a checked state enables the log file.
    void SetLogToFile(bool value);

    // A control by its name (edtDescription, btnNext, tabNr1, ...), or
    // nullptr for an unknown name.
    HWND Control(const std::string& name) const;
    // 1..4 once shown; 0 before the first showing.
    int CurrentPage() const { return page_; }
    HWND DefaultButton() const { return defaultButton_; }
    // A control's tag (btnPrev tagBackward, btnNext tagForward, others 0).
    int Tag(HWND control) const;

    // Event handlers; the window calls them, so can a caller or a test.
    void FormShow();
    // Click of btnPrev and btnNext: forward with the page's checks when the
    // sender's tag is tagForward, otherwise backward without.
    void btnNextClick(HWND sender);
    void btnFinishClick();
    void btnCancelClick();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void cbxLogToFileClick();

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void Command(int id, HWND sender);
    HBRUSH ControlColor(HDC dc, HWND control);
    void DrawMemo(const DRAWITEMSTRUCT& item);
    bool PreTranslate(const MSG& message);

    HWND Add(const std::string& name, const char* windowClass, const char* text, DWORD style, DWORD exStyle,
             HWND parent, int x, int y, int width, int height, int id = 0);
    void CreateControls();
    void CreatePage(int number, int width, int height);
    std::string Text(const char* name) const;
    void SetText(const char* name, const std::string& text);
    void ShowPage(int number);
    void MakeDefault(HWND button);
    // The checks of one page: on failure the focus goes to the edit at fault,
    // the message is shown, and false comes back.
    bool CheckPage(int number);
    void Fail(const char* edit, const std::string& message);
    void Browse(const char* edit, const char* title, const char* filter, const char* defaultExt, DWORD flags);

    TFont font_;
    TFont titleFont_;
    TFont memoFont_;
    TFont boldFont_;
    TBrush editBrush_;
    TBrush warnBrush_;
    TBrush doneBrush_;

    TControls controls_{this};
    HWND defaultButton_ = nullptr;
    HWND savedFocus_ = nullptr;
    // The description an edit began with: that entry may keep its own log file.
    std::string edited_;
    int page_ = 0;
    int modalResult_ = mrNone;
};
