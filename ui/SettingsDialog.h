#pragma once
#include <windows.h>

#include <string>
#include <utility>

#include "catalogue/Catalogue.h"
#include "catalogue/ServiceSettings.h"
#include "toolkit/Secret.h"
#include "toolkit/window/Gdi.h"
#include "toolkit/window/Window.h"

// The settings of one entry in four groups (account, process, stop and
// restart, log), each as qv takes it, with a password box for a named
// account. OK checks them as qv does and stays open on a refusal, naming the
// setting; the caller stores what it ends with.
class TSettingsDialog : public TDialog {
public:
    TSettingsDialog(TCatalogueEntry entry, TServiceSettings settings);

    // The dialog's control of a setting, and the password box.
    static int ControlId(TSetting setting);
    static constexpr int PasswordId = 390;

    const TServiceSettings& Settings() const { return settings_; }
    // What was typed in the password box; never kept.
    const TSecret& Password() const { return password_; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void Build();
    // Reads every box; false (and the refusal shown) when one is refused.
    bool Take();

    TCatalogueEntry entry_;
    TServiceSettings settings_;
    TSecret password_;
    TFont font_;
};

// Asks for a named account's password when its entry is installed: the
// password box alone. OK with an empty box is refused as qv refuses it.
class TPasswordDialog : public TDialog {
public:
    explicit TPasswordDialog(std::string account) : account_(std::move(account)) {}

    static constexpr int PasswordId = TSettingsDialog::PasswordId;
    const TSecret& Password() const { return password_; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    std::string account_;
    TSecret password_;
    TFont font_;
};
