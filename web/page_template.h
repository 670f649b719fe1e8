// The page template as the extension serves it: the file read beneath its
// directory without following any link, split once into its text and its
// tags, and kept while the file's identity (device and inode), size and
// modification and change times stay the same. So a request costs one
// fstatat of the file instead of an open, a read and a close, and an edit
// of the template reaches the next request. A file modified in the last
// two seconds is read anew every time: file times tick coarsely, and an
// edit of the same size within one tick leaves them as they were.
//
// Thread-safe: many requests may ask for the template at once; a template
// once returned is immutable and shared.
#ifndef CORVANE_WEB_PAGE_TEMPLATE_H_
#define CORVANE_WEB_PAGE_TEMPLATE_H_

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/confined_open.h"

namespace corvane {

// A template split into stretches of text and tags: text 0, tag 0, text 1,
// ..., tag n-1, text n. Immutable.
class PageTemplate {
 public:
  // Splits `templ` (in the code page) by the tag rules of ProduceContent;
  // `response_tag` names the tag that the reply replaces (any case).
  PageTemplate(std::string_view templ, std::string_view response_tag);

  // How many tags are the response tag: each one is one turn of the brain.
  std::size_t response_tags() const { return response_tags_; }

  // The page: every response tag replaced by the next of `replies` (HTML
  // text in the code page, at least response_tags() of them), every other
  // tag removed. With `utf8`, the page in UTF-8 (the replies are then
  // converted as they are inserted).
  std::string Produce(const std::vector<std::string>& replies, bool utf8) const;

  // The page as Produce makes it, without making it: `piece` gets each
  // stretch of text and each reply in order (some of them empty), and Size
  // says how many bytes they come to. With `utf8` the texts are the UTF-8
  // ones and the replies must be UTF-8 already.
  void ForEachPiece(const std::vector<std::string>& replies, bool utf8,
                    const std::function<void(std::string_view)>& piece) const;
  std::size_t Size(const std::vector<std::string>& replies, bool utf8) const;

 private:
  std::vector<std::string> texts_;       // The stretches in the code page.
  std::vector<std::string> utf8_texts_;  // The same in UTF-8.
  std::vector<bool> is_response_;        // Per tag: the response tag.
  std::size_t response_tags_ = 0;
  std::size_t bytes_ = 0;       // Of texts_.
  std::size_t utf8_bytes_ = 0;  // Of utf8_texts_.
};

// The template file of one web root.
class TemplateFile {
 public:
  // The file `name` (one path component) in the host directory `dir`,
  // which is opened when first needed and then held open.
  TemplateFile(std::string dir, std::string name);
  TemplateFile(const TemplateFile&) = delete;
  TemplateFile& operator=(const TemplateFile&) = delete;

  // The template as the file is now. Throws IoError "Cannot open file
  // "NAME"" when the directory or the file cannot be opened, the file is
  // not a regular file or is a link, or it cannot be read; "Template file
  // too large: "NAME"" beyond kMaxTemplateBytes. The message names the file
  // without its directory: it reaches the client.
  std::shared_ptr<const PageTemplate> Get();

  // The file's directory and name, as given.
  const std::string& dir() const { return dir_; }
  const std::string& name() const { return name_; }

 private:
  // What identifies one version of the file.
  struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime {};
    struct timespec ctime {};
    bool operator==(const Stamp& o) const;
  };
  static Stamp StampOf(const struct stat& st);
  // The held directory; opened now when it is not yet. Requires mutex_.
  int DirLocked();

  const std::string dir_;
  const std::string name_;
  // One component: neither empty, "." nor "..", and without "/".
  const bool plain_name_;
  std::mutex mutex_;
  ConfinedRoot root_;                             // Guarded by mutex_.
  std::atomic<int> dir_fd_{-1};                   // root_'s, once open.
  Stamp stamp_;                                   // Guarded by mutex_.
  std::shared_ptr<const PageTemplate> template_;  // Guarded by mutex_.
};

}  // namespace corvane

#endif  // CORVANE_WEB_PAGE_TEMPLATE_H_
