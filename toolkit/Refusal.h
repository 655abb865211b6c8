#pragma once
#include <string>
#include <utility>

// The answer of a step for which saying no is a normal answer rather than a
// fault: a value a check does not pass, a service that belongs to another
// program, a start the Service Control Manager turns down. Empty when the
// step did not refuse; otherwise it holds the words the user reads. A fault
// that ends an operation is a TError instead (docs/architecture.md).
class [[nodiscard]] TRefusal {
public:
    TRefusal() = default;
    explicit TRefusal(std::string reason) : reason_(std::move(reason)) {}

    // True when the step refused.
    explicit operator bool() const { return !reason_.empty(); }
    const std::string& Reason() const { return reason_; }

private:
    std::string reason_;
};
