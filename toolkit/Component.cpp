#include "toolkit/Component.h"

#include <algorithm>
#include <strings.h>

TComponent::TComponent(TComponent* owner) : owner_(owner)
{
    if (owner_)
        owner_->Insert(this);
}

TComponent::~TComponent()
{
    // Each owned component takes itself off our list as it goes.
    while (!owned_.empty())
        delete owned_.back();
    if (owner_)
        owner_->Remove(this);
}

void TComponent::Remove(TComponent* component)
{
    owned_.erase(std::remove(owned_.begin(), owned_.end(), component), owned_.end());
}

TComponent* TComponent::FindComponent(const std::string& name) const
{
    for (TComponent* c : owned_)
        if (strcasecmp(c->Name().c_str(), name.c_str()) == 0)
            return c;
    return nullptr;
}
