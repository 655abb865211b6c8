#include "stub/Guard.h"

#include <atomic>
#include <exception>

namespace {

std::atomic<void (*)(const std::string&)> failureHandler{nullptr};

} // namespace

void SetFailureHandler(void (*handler)(const std::string& failure))
{
    failureHandler = handler;
}

std::string CurrentFailure()
{
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "an exception of unknown kind";
    }
}

void RunGuarded(const char* part, TStubLog& log, const std::function<void()>& body) noexcept
{
    try {
        body();
        return;
    } catch (...) {
        std::string failure;
        try {
            failure = std::string(part) + " failed: " + CurrentFailure();
            log.Event(TLogKind::Error, failure);
        } catch (...) {
            // Out of memory even for the message: the handler still hears of it.
        }
        if (auto handler = failureHandler.load())
            handler(failure);
    }
}
