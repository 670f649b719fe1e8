#include "web/page_producer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/error.h"
#include "platform/confined_open.h"
#include "platform/files.h"

namespace corvane {
namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<TagParam> ParseTagParams(std::string_view text) {
  std::vector<TagParam> params;
  text = Trim(text);
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) break;
    // A parameter runs to the next blank outside quotes.
    const std::size_t start = i;
    char quote = 0;
    while (i < text.size() && (quote != 0 || !IsBlank(text[i]))) {
      if (quote != 0) {
        if (text[i] == quote) quote = 0;
      } else if (text[i] == '"' || text[i] == '\'') {
        quote = text[i];
      }
      ++i;
    }
    const std::string_view item = text.substr(start, i - start);
    const std::size_t eq = item.find('=');
    TagParam param;
    param.name = std::string(item.substr(0, eq));
    if (eq != std::string_view::npos) {
      std::string_view value = item.substr(eq + 1);
      if (value.size() >= 2 &&
          (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      param.value = std::string(value);
    }
    params.push_back(std::move(param));
  }
  return params;
}

std::string ProduceContent(std::string_view templ, const TagHandler& handler) {
  std::string out;
  out.reserve(templ.size());
  std::size_t pos = 0;
  while (pos < templ.size()) {
    const std::size_t lt = templ.find("<#", pos);
    if (lt == std::string_view::npos) break;
    // Without a ">" after it no later tag can close either, so the rest is
    // copied as it is; this keeps the scan linear for "<#<#<#...".
    const std::size_t gt = templ.find('>', lt + 2);
    if (gt == std::string_view::npos) break;
    out.append(templ.substr(pos, lt - pos));
    std::size_t name_end = lt + 2;
    while (name_end < gt && IsIdentChar(templ[name_end])) ++name_end;
    const std::string_view name = templ.substr(lt + 2, name_end - lt - 2);
    if (handler) {
      out +=
          handler(name, ParseTagParams(templ.substr(name_end, gt - name_end)));
    }
    pos = gt + 1;
  }
  out.append(templ.substr(pos));
  return out;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string PageProducer::Content() const {
  // Messages name the file without its directory: they reach the client.
  const std::string shown =
      "\"" + HTMLFile.substr(HTMLFile.find_last_of('/') + 1) + "\"";
  if (Root != nullptr) {
    // One open beneath the held root, then everything through the
    // descriptor: nothing can be swapped between a check and the read.
    const int fd =
        HTMLFile.empty()
            ? -1
            : Root->OpenBeneath(HTMLFile,
                                O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                                0, true);
    if (fd < 0) throw IoError("Cannot open file " + shown);
    struct FdCloser {
      int fd;
      ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
      throw IoError("Cannot open file " + shown);
    if (static_cast<unsigned long long>(st.st_size) > kMaxTemplateBytes)
      throw IoError("Template file too large: " + shown);
    // Room for one byte more than the size: a short read of a regular file
    // is its end, so one read usually does. A file that grew meanwhile is
    // read on, up to the limit.
    std::string templ(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t have = 0;
    for (;;) {
      if (have == templ.size()) {
        if (templ.size() > kMaxTemplateBytes)
          throw IoError("Template file too large: " + shown);
        templ.resize(std::min<std::size_t>(templ.size() * 2,
                                           kMaxTemplateBytes + 1));
      }
      const ssize_t n = ::read(fd, templ.data() + have, templ.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw IoError("Cannot open file " + shown);
      if (n == 0) break;
      const std::size_t wanted = templ.size() - have;
      have += static_cast<std::size_t>(n);
      if (static_cast<std::size_t>(n) < wanted) break;
    }
    templ.resize(have);
    return ProduceContent(templ, OnHTMLTag);
  }
  struct stat st {};
  if (HTMLFile.empty() || stat(HTMLFile.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    throw IoError("Cannot open file " + shown);
  }
  if (static_cast<unsigned long long>(st.st_size) > kMaxTemplateBytes)
    throw IoError("Template file too large: " + shown);
  std::optional<std::string> templ = ReadFileBytes(HTMLFile);
  if (!templ) throw IoError("Cannot open file " + shown);
  if (templ->size() > kMaxTemplateBytes)
    throw IoError("Template file too large: " + shown);
  return ProduceContent(*templ, OnHTMLTag);
}

}  // namespace corvane
