// A fresh directory for one test, made with mkdtemp under /tmp and removed
// with everything in it when the object goes.
#ifndef CORVANE_TESTS_TEMP_DIR_H_
#define CORVANE_TESTS_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

namespace corvane {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/corvane-test-XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  const std::string& str() const { return path_; }
  // The host path of `name` inside the directory.
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::filesystem::path operator/(const std::string& name) const {
    return std::filesystem::path(path_) / name;
  }
  // Writes `data` to `name` inside the directory, creating subdirectories.
  void Write(const std::string& name, const std::string& data) const {
    const std::filesystem::path file = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << data;
  }
  // The content of `name` inside the directory; empty when unreadable.
  std::string Read(const std::string& name) const {
    std::ifstream in(std::filesystem::path(path_) / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
  }
  // The names of the entries directly inside the directory.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path_, ec))
      names.insert(e.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

}  // namespace corvane

#endif  // CORVANE_TESTS_TEMP_DIR_H_
