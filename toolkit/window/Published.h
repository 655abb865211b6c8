#pragma once
#include <string>
#include <vector>

// A component's integer properties reachable by name, as the window-state
// store saves and restores them ("lvServices.Width", "Splitter1.Left").
class TPublishedIntegers {
public:
    virtual ~TPublishedIntegers() = default;
    // The property names as published, e.g. "Width", "Left".
    virtual std::vector<std::string> IntegerProperties() const = 0;
    // name is one of IntegerProperties(), spelt as published.
    virtual int GetInteger(const std::string& name) const = 0;
    virtual void SetInteger(const std::string& name, int value) = 0;
};
