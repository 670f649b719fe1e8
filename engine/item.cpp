#include "engine/item.h"

#include <map>
#include <mutex>
#include <vector>

namespace corvane {
namespace {

struct SourceFileTable {
  std::mutex mutex;
  std::map<std::string, uint16_t> numbers;
  std::vector<std::shared_ptr<const std::string>> names{nullptr};  // [0]: none
};

SourceFileTable& Table() {
  static SourceFileTable* table = new SourceFileTable;  // Never destroyed:
  return *table;  // items of static brains may ask at exit.
}

}  // namespace

uint16_t InternSourceFile(const std::string& path) {
  SourceFileTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.numbers.find(path);
  if (found != table.numbers.end()) return found->second;
  if (table.names.size() > UINT16_MAX) return 0;
  const uint16_t number = static_cast<uint16_t>(table.names.size());
  table.names.push_back(std::make_shared<const std::string>(path));
  table.numbers.emplace(path, number);
  return number;
}

std::shared_ptr<const std::string> SourceFileName(uint16_t number) {
  if (number == 0) return nullptr;
  SourceFileTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return number < table.names.size() ? table.names[number] : nullptr;
}

}  // namespace corvane
