#include "web/module_pool.h"

#include <utility>

namespace corvane {

class ModulePool::Held : public ModuleLease::Holder {
 public:
  Held(ModulePool* pool, std::unique_ptr<TWebModule1> module)
      : pool_(pool), module_(std::move(module)) {}
  ~Held() override { pool_->GiveBack(std::move(module_)); }
  TWebModule1& module() override { return *module_; }

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
  std::unique_ptr<TWebModule1> module;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (max_active_ > 0 && active_ >= max_active_) throw BusyError();
    ++active_;
    if (!cache_.empty()) {
      module = std::move(cache_.front());
      cache_.pop_front();
    }
  }
  if (!module) {
    // The place is taken, so the limit holds while the brain loads.
    try {
      module = factory_(request);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      --active_;
      throw;
    }
  }
  return ModuleLease(std::make_unique<Held>(this, std::move(module)),
                     std::string(), false);
}

void ModulePool::GiveBack(std::unique_ptr<TWebModule1> module) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  --active_;
  cache_.push_back(std::move(module));
}

bool ModulePool::SaveIdle() noexcept {
  std::deque<std::unique_ptr<TWebModule1>> doomed;
  bool all = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed.swap(cache_);
    all = active_ == 0;
  }
  // Saving takes long; it runs outside the lock, front to back.
  for (auto& module : doomed)
    if (!module->StopAndSave()) all = false;
  return all;
}

void ModulePool::DestroyAll() noexcept {
  std::deque<std::unique_ptr<TWebModule1>> doomed;
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
