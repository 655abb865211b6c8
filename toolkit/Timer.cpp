#include "toolkit/Timer.h"

#include <map>

#include "toolkit/Guarded.h"

namespace {

std::map<UINT_PTR, TTimer*>& Timers()
{
    static std::map<UINT_PTR, TTimer*> timers;
    return timers;
}

} // namespace

TTimer::~TTimer()
{
    enabled_ = false;
    Update();
}

void TTimer::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    enabled_ = value;
    Update();
}

void TTimer::SetInterval(unsigned value)
{
    if (value == interval_)
        return;
    interval_ = value;
    Update();
}

void TTimer::Update()
{
    if (id_) {
        KillTimer(nullptr, id_);
        Timers().erase(id_);
        id_ = 0;
    }
    if (enabled_ && interval_ > 0) {
        id_ = SetTimer(nullptr, 0, interval_, &TTimer::TimerProc);
        if (id_)
            Timers()[id_] = this;
    }
}

void CALLBACK TTimer::TimerProc(HWND, UINT, UINT_PTR id, DWORD)
{
    auto found = Timers().find(id);
    if (found != Timers().end() && found->second->OnTimer)
        Guarded(found->second->OnTimer);
}
