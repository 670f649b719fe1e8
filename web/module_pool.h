// The shared pool of web modules: every request takes the module that has
// waited longest in a first-in, first-out cache, or a new one when the
// cache is empty, and gives it back to the end of the cache. At most
// `max_active` modules are in use at once. The conversation state thus
// belongs to a module, not to a visitor.
//
// Thread-safe. One mutex guards the cache and the count of modules in use;
// a module is created outside it (its brain read from the language file
// and started), so a language file that is slow to read or a long
// "Initialize" holds up only the request that creates the module. The pool
// owns the cached modules; a lease owns its module while it is in use.
#ifndef CORVANE_WEB_MODULE_POOL_H_
#define CORVANE_WEB_MODULE_POOL_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "web/module_source.h"
#include "web/web_module.h"

namespace corvane {

class ModulePool : public ModuleSource {
 public:
  // Creates a module for a request that finds the cache empty; throws what
  // creation throws.
  using Factory =
      std::function<std::unique_ptr<TWebModule1>(const ModuleRequest&)>;

  // `max_active` 0: no limit.
  ModulePool(Factory factory, std::size_t max_active);
  // Destroys the cached modules (DestroyAll).
  ~ModulePool() override;

  ModuleLease Take(const ModuleRequest& request) override;
  // Saves and destroys the cached modules in cache order, so the module
  // that served last is saved last.
  bool SaveIdle() noexcept override;
  // Destroys the cached modules in cache order; each saves itself.
  void DestroyAll() noexcept override;
  std::size_t in_use() const override;
  std::size_t cached() const;

 private:
  // A module with its holder, which goes back to the cache with it, so a
  // request allocates nothing to take a module.
  class Held;
  void GiveBack(Held* held) noexcept;

  const Factory factory_;
  const std::size_t max_active_;
  mutable std::mutex mutex_;
  std::deque<std::unique_ptr<Held>> cache_;  // mutex_; front waited longest.
  std::size_t active_ = 0;  // Leases held and modules being created; mutex_.
};

}  // namespace corvane

#endif  // CORVANE_WEB_MODULE_POOL_H_
