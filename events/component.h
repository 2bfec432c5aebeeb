// TObject and TComponent: the base of every component. A component may have an owner, which
// destroys it together with itself, and a name.
//
// Threads: a component and its owned components are used on one thread.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/text.h"

class TNetWndFollower;

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner) : owner_(AOwner) {
    if (owner_) owner_->components_.push_back(this);
  }
  ~TComponent() override {
    // Owned components go first, newest first; each one leaves this list as it is destroyed.
    while (!components_.empty())
      delete components_.back();
    if (owner_) {
      auto& list = owner_->components_;
      list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
  }
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const String& Name() const { return name_; }
  void SetName(const String& name) { name_ = name; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // The owned components, oldest first.
  TComponent* Component(int Index) const { return components_[static_cast<std::size_t>(Index)]; }
  // The component as one that works through its owner's window (events/netwnd.h), or null.
  virtual TNetWndFollower* NetWndFollower() { return nullptr; }

 private:
  TComponent* owner_;
  String name_;
  std::vector<TComponent*> components_;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
