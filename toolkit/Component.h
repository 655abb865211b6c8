#pragma once
#include <memory>
#include <string>
#include <vector>

// Base of the non-visual components: a name and an optional owner, which
// destroys the components it owns when it is destroyed.
class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }

    // Finds an owned component by name, ignoring letter case.
    TComponent* FindComponent(const std::string& name) const;

private:
    void Insert(TComponent* component) { owned_.push_back(component); }
    void Remove(TComponent* component);

    TComponent* owner_;
    std::string name_;
    std::vector<TComponent*> owned_;
};
