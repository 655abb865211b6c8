#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "toolkit/Component.h"

class TIniDocument;
class TPublishedIntegers;

enum TPlacementOption { fpState, fpPosition };
enum TWindowState { wsNormal, wsMinimized, wsMaximized };

// Remembers the main window's placement and show state in a section of an
// INI file: restored each time the window is shown, saved when it closes.
// A save is one write of the whole file, which is the catalogue too: a
// crash while the window closes leaves it whole.
class TFormPlacement : public TComponent {
public:
    // owner is the form's component; form is its window.
    TFormPlacement(TComponent* owner, HWND form);
    ~TFormPlacement() override;

    // Empty: "<exe name>.INI" (a bare name, so the Windows directory) and the
    // window's class name.
    std::string IniFileName;
    std::string IniSection;
    std::set<TPlacementOption> Options{fpState, fpPosition};
    bool Active = true;
    // A stored minimized state minimizes the application rather than the
    // form: SC_MINIMIZE is posted here, and this window's iconic state
    // counts as "the application is minimized"; the form itself when null.
    HWND ApplicationWindow = nullptr;

    HWND Form() const { return form_; }
    std::string FileName() const;
    std::string Section() const;

    // The work itself, on the file read by SavePlacement/RestorePlacement.
    // Failures are raised.
    virtual void SaveFormPlacement();
    virtual void RestoreFormPlacement();
    virtual std::string ReadString(const std::string& section, const std::string& ident,
                                   const std::string& defaultValue);
    virtual void WriteString(const std::string& section, const std::string& ident, const std::string& value);

    // Save and restore as the notifications run them: only while Active,
    // with the file open for the duration, and any failure shown in the
    // standard error box instead of raised.
    void SavePlacement();
    void RestorePlacement();

    // Called by the window from its own handlers.
    void FormShow();                     // before the window's own show handler
    void FormCloseQuery(bool canClose);  // after the window's own close-query
    void FormDestroy();                  // from the window's destroy handling

    bool Restored() const { return restored_; }
    bool Saved() const { return saved_; }

    // The show command for the state the last restore chose (SW_SHOWNORMAL,
    // SW_SHOWMAXIMIZED, SW_SHOWMINIMIZED). A window that is still hidden
    // when FormShow runs cannot be maximized without being shown, so it
    // shows itself with it; a window already visible has the state applied.
    int ShowCommand() const;

protected:
    int ReadInteger(const std::string& ident, int defaultValue);
    void WriteInteger(const std::string& ident, int value);
    void SetWindowState(TWindowState state);

private:
    void RestorePosition();
    void RestoreState();
    void AdjustMaximizedPosition();

    HWND form_;
    std::unique_ptr<TIniDocument> ini_;  // read only for a save or a restore
    bool restored_ = false;
    bool saved_ = false;
    bool destroying_ = false;
    TWindowState windowState_ = wsNormal;
};

// Adds named integer properties of the form's own components
// ("lvServices.Width") to what is saved and restored.
class TFormStorage : public TFormPlacement {
public:
    TFormStorage(TComponent* owner, HWND form) : TFormPlacement(owner, form) {}

    // "<component name>.<property name>", in the order they are written.
    std::vector<std::string> StoredProps;

    void SaveFormPlacement() override;
    void RestoreFormPlacement() override;
    // A failing write is raised; restoring ignores every failure.
    virtual void SaveProps();
    virtual void RestoreProps();
};

// Walks a list of "<component>.<property>" entries for one section, reaching
// the file only through the read and write operations it is given.
class TPropsStorage {
public:
    using TReadString = std::function<std::string(const std::string& section, const std::string& ident,
                                                  const std::string& defaultValue)>;
    using TWriteString =
        std::function<void(const std::string& section, const std::string& ident, const std::string& value)>;

    // root owns the components the entries name.
    TPropsStorage(TComponent* root, std::string section, TReadString read, TWriteString write);

    // Writes each property's value in decimal; a failing write is raised and
    // the entries after it are not written.
    void StoreProperties(const std::vector<std::string>& props);
    // Sets each property from the file: a missing key leaves it, an empty or
    // non-numeric value gives 0; a failing property is skipped.
    void LoadProperties(const std::vector<std::string>& props);

    struct TStoredProp {
        TPublishedIntegers* Component = nullptr;
        std::string Property;  // spelt as published
        std::string Key;       // "<component name>_<property>"
    };
    // Nothing for an entry without a point, with an empty part, naming a
    // component root does not own, one without published integers, or a
    // property it does not publish. Names compare without regard to case.
    static std::optional<TStoredProp> Resolve(const TComponent* root, const std::string& entry);

private:
    TComponent* root_;
    std::string section_;
    TReadString read_;
    TWriteString write_;
};
