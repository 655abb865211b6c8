// Compiled into every test program (tests/CMakeLists.txt): what a test
// starts never outlives it, and a test that failed inside a modal loop
// leaves nothing behind for the next one.
#include <windows.h>

#include <gtest/gtest.h>

#include "toolkit/window/Application.h"

namespace {

// The test program runs in a job that ends every process in it when its
// last handle closes, which is when the program ends, however it ends: a
// helper a failed or timed-out test started (a stand-in host, a writer to
// kill) goes with it. The handle is never closed by hand.
[[maybe_unused]] const bool inOwnJob = [] {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return job && SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
           AssignProcessToJobObject(job, GetCurrentProcess());
}();

// A test that failed while a box or the wizard was up ended the modal loops
// with a quit (tests/support/WindowDriver.cpp); the next test starts
// without it.
class TQuitSweeper : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        MSG quit;
        bool swept = false;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            swept = true;
        if (swept)
            Application().Terminated = false;
    }
};

[[maybe_unused]] const bool sweeping = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new TQuitSweeper);
    return true;
}();

} // namespace
