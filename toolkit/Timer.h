#pragma once
#include <windows.h>

#include <functional>

#include "toolkit/Component.h"

// A thread timer: OnTimer runs from whatever message loop the thread is in
// (the main loop, a modal box, a wait), every Interval milliseconds while
// Enabled.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner = nullptr) : TComponent(owner) {}
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned value);

    std::function<void()> OnTimer;

private:
    static void CALLBACK TimerProc(HWND, UINT, UINT_PTR id, DWORD);
    void Update();

    bool enabled_ = false;
    unsigned interval_ = 1000;
    UINT_PTR id_ = 0;
};
