#pragma once
#include <functional>
#include <string>

#include "toolkit/Error.h"

// The message of the TError an operation raises, or "(no error)".
inline std::string ErrorOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const TError& error) {
        return error.Message();
    }
    return "(no error)";
}
