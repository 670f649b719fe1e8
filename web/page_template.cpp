#include "web/page_template.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "base/ascii.h"
#include "base/error.h"
#include "web/page_producer.h"
#include "web/visitor_text.h"

namespace corvane {

PageTemplate::PageTemplate(std::string_view templ,
                           std::string_view response_tag) {
  ScanTemplate(
      templ, [&](std::string_view text) { texts_.emplace_back(text); },
      [&](std::string_view name, std::string_view) {
        const bool response = EqualNoCase(name, response_tag);
        is_response_.push_back(response);
        if (response) ++response_tags_;
      });
  for (const std::string& text : texts_) {
    utf8_texts_.push_back(CodePageToUtf8(text));
    bytes_ += text.size();
    utf8_bytes_ += utf8_texts_.back().size();
  }
}

std::string PageTemplate::Produce(const std::vector<std::string>& replies,
                                  bool utf8) const {
  const std::vector<std::string>& texts = utf8 ? utf8_texts_ : texts_;
  std::size_t size = utf8 ? utf8_bytes_ : bytes_;
  for (const std::string& reply : replies)
    size += reply.size() * (utf8 ? 2 : 1);
  std::string page;
  page.reserve(size);
  std::size_t next = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    page += texts[i];
    if (i < is_response_.size() && is_response_[i] && next < replies.size()) {
      if (utf8) {
        page += CodePageToUtf8(replies[next]);
      } else {
        page += replies[next];
      }
      ++next;
    }
  }
  return page;
}

void PageTemplate::ForEachPiece(
    const std::vector<std::string>& replies, bool utf8,
    const std::function<void(std::string_view)>& piece) const {
  const std::vector<std::string>& texts = utf8 ? utf8_texts_ : texts_;
  std::size_t next = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    piece(texts[i]);
    if (i < is_response_.size() && is_response_[i] && next < replies.size())
      piece(replies[next++]);
  }
}

std::size_t PageTemplate::Size(const std::vector<std::string>& replies,
                               bool utf8) const {
  std::size_t size = utf8 ? utf8_bytes_ : bytes_;
  const std::size_t used = std::min(replies.size(), response_tags_);
  for (std::size_t i = 0; i < used; ++i) size += replies[i].size();
  return size;
}

bool TemplateFile::Stamp::operator==(const Stamp& o) const {
  return dev == o.dev && ino == o.ino && size == o.size &&
         mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
         ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

TemplateFile::Stamp TemplateFile::StampOf(const struct stat& st) {
  Stamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

TemplateFile::TemplateFile(std::string dir, std::string name)
    : dir_(std::move(dir)),
      name_(std::move(name)),
      plain_name_(!name_.empty() && name_ != "." && name_ != ".." &&
                  name_.find('/') == std::string::npos) {}

int TemplateFile::DirLocked() {
  if (!root_.valid()) {
    try {
      root_ = ConfinedRoot::Open(dir_);
      dir_fd_.store(root_.fd(), std::memory_order_release);
    } catch (const std::exception&) {
      // No directory yet: the template cannot be opened, as any missing
      // file; the next request tries again.
    }
  }
  return root_.fd();
}

std::shared_ptr<const PageTemplate> TemplateFile::Get() {
  // The message names the file without its directory; made only for it.
  const auto shown = [this] { return "\"" + name_ + "\""; };
  // Once open, the directory stays: requests find it without the lock.
  int dir_fd = dir_fd_.load(std::memory_order_acquire);
  if (dir_fd < 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    dir_fd = DirLocked();
  }
  // One component beneath the held directory, not following a link: the
  // name can neither climb out nor lead anywhere else.
  struct stat st {};
  if (dir_fd < 0 || !plain_name_ ||
      ::fstatat(dir_fd, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    throw IoError("Cannot open file " + shown());
  if (static_cast<unsigned long long>(st.st_size) > kMaxTemplateBytes)
    throw IoError("Template file too large: " + shown());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (template_ && stamp_ == StampOf(st)) return template_;
  }

  // A new version: read it through one descriptor, so that what is read is
  // what is stamped.
  const int fd = root_.OpenBeneath(
      name_, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0, true);
  if (fd < 0) throw IoError("Cannot open file " + shown());
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw IoError("Cannot open file " + shown());
  if (static_cast<unsigned long long>(st.st_size) > kMaxTemplateBytes)
    throw IoError("Template file too large: " + shown());
  // Room for one byte more than the size: a short read of a regular file
  // is its end, so one read usually does. A file that grew meanwhile is
  // read on, up to the limit.
  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) {
      if (text.size() > kMaxTemplateBytes)
        throw IoError("Template file too large: " + shown());
      text.resize(
          std::min<std::size_t>(text.size() * 2, kMaxTemplateBytes + 1));
    }
    const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw IoError("Cannot open file " + shown());
    if (n == 0) break;
    const std::size_t wanted = text.size() - have;
    have += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < wanted) break;
  }
  text.resize(have);
  // A file that changed while it was read gets a stamp that the next
  // request does not match, so it is read again then. So does a file
  // changed within the last second: file times tick coarsely, so an edit
  // of the same size in the same tick would not show in the stamp.
  struct stat after {};
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const bool steady = ::fstat(fd, &after) == 0 &&
                      StampOf(after) == StampOf(st) &&
                      have == static_cast<std::size_t>(st.st_size) &&
                      now.tv_sec - st.st_mtim.tv_sec >= 2;
  auto parsed = std::make_shared<const PageTemplate>(text, "CorvResp");
  std::lock_guard<std::mutex> lock(mutex_);
  template_ = parsed;
  stamp_ = steady ? StampOf(st) : Stamp();
  return parsed;
}

}  // namespace corvane
