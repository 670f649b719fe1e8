#include "web/module_pool.h"

#include <utility>

namespace corvane {

class ModulePool::Held : public ModuleLease::Holder {
 public:
  Held(ModulePool* pool, std::unique_ptr<TWebModule1> module)
      : pool_(pool), module_(std::move(module)) {}
  TWebModule1& module() override { return *module_; }
  void Release() noexcept override { pool_->GiveBack(this); }

 private:
  ModulePool* pool_;
  std::unique_ptr<TWebModule1> module_;
};

ModulePool::ModulePool(Factory factory, std::size_t max_active)
    : factory_(std::move(factory)), max_active_(max_active) {}

ModulePool::~ModulePool() {
  DestroyAll();
}

ModuleLease ModulePool::Take(const ModuleRequest& request) {
  std::unique_ptr<Held> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (max_active_ > 0 && active_ >= max_active_) throw BusyError();
    ++active_;
    if (!cache_.empty()) {
      held = std::move(cache_.front());
      cache_.pop_front();
    }
  }
  if (!held) {
    // The place is taken, so the limit holds while the brain loads.
    try {
      held = std::make_unique<Held>(this, factory_(request));
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      --active_;
      throw;
    }
  }
  return ModuleLease(std::move(held), std::string(), false);
}

void ModulePool::GiveBack(Held* held) noexcept {
  std::unique_ptr<Held> owned(held);
  std::lock_guard<std::mutex> lock(mutex_);
  --active_;
  cache_.push_back(std::move(owned));
}

bool ModulePool::SaveIdle() noexcept {
  std::deque<std::unique_ptr<Held>> doomed;
  bool all = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed.swap(cache_);
    all = active_ == 0;
  }
  // Saving takes long; it runs outside the lock, front to back.
  for (auto& held : doomed)
    if (!held->module().StopAndSave()) all = false;
  return all;
}

void ModulePool::DestroyAll() noexcept {
  std::deque<std::unique_ptr<Held>> doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed.swap(cache_);
  }
  while (!doomed.empty()) doomed.pop_front();
}

std::size_t ModulePool::in_use() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

std::size_t ModulePool::cached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cache_.size();
}

}  // namespace corvane
