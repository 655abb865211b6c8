#pragma once
#include <stdexcept>
#include <string>

// The one error class of the program: a failure with a fixed message text.
// Components raise it; the command that owns the operation, or the
// application's error box, decides what the user sees.
class TError : public std::runtime_error {
public:
    explicit TError(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};
