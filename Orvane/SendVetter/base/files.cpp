// File-system helpers: the ".." rule, one-level directory creation, and the
// buffered line reader behind standard input.
#include "Orvane/SendVetter/base/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

std::string remove_dot_pairs(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.' && i + 1 < text.size() && text[i + 1] == '.') {
      ++i;
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string remove_char(std::string_view text, char ch) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ch) out.push_back(c);
  return out;
}

bool is_single_name(std::string_view text) {
  return !text.empty() && text != "." && text != ".." &&
         text.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

namespace {

bool stat_whole(const std::string& path, struct stat& st) {
  return !path.empty() && path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

}  // namespace

bool path_exists(const std::string& path) {
  struct stat st;
  return stat_whole(path, st);
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat_whole(path, st) && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return stat_whole(path, st) && S_ISREG(st.st_mode);
}

bool names_file(int fd, const std::string& path) {
  struct stat open_st, path_st;
  if (::fstat(fd, &open_st) != 0 || ::stat(path.c_str(), &path_st) != 0) return false;
  return open_st.st_nlink > 0 && open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

long long modification_time(const std::string& path) {
  struct stat st;
  if (!stat_whole(path, st)) return 0;
  return static_cast<long long>(st.st_mtime);
}

bool make_dir(const std::string& path) {
  return path.find('\0') == std::string::npos && ::mkdir(path.c_str(), 0700) == 0;
}

void ensure_dir(const std::string& path) {
  if (!path_exists(path)) make_dir(path);
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

bool read_rest(int fd, const std::function<bool(std::string_view)>& take) {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!take(std::string_view(chunk, static_cast<std::size_t>(n)))) return false;
  }
}

bool open_regular_file(SafeFile::Handle& file, const std::string& path) {
  file.close();
  if (path.find('\0') != std::string::npos) return false;
  SafeFile::Handle opened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!opened.is_open() || ::fstat(opened.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int flags = ::fcntl(opened.fd(), F_GETFL);
  if (flags < 0 || ::fcntl(opened.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  file = std::move(opened);
  return true;
}

std::string read_file(const std::string& path) {
  SafeFile::Handle file;
  if (!open_regular_file(file, path)) return {};
  // Read straight into the result, sized by the file (one byte more, so
  // that end of file is seen without growing): the panel's search reads
  // thousands of files, and copying each through buffers cost more than
  // reading it.
  // The size is only a hint (capped: a file may claim more than it holds).
  struct stat st;
  std::size_t hint = 1 << 16;
  if (::fstat(file.fd(), &st) == 0 && st.st_size > 0)
    hint = std::min<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 1 << 26);
  std::string content(hint, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    ssize_t n = ::read(file.fd(), content.data() + used, content.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  content.resize(used);
  return content;
}

bool replace_file(const std::string& path, const std::string& content) {
  const std::string temp = path + ".new." + std::to_string(::getpid());
  SafeFile::Handle file;
  if (!file.open(temp, ">")) return false;
  const bool written = file.write_all(content) && ::fsync(file.fd()) == 0;
  if (file.close() && written && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

bool LineReader::fill() {
  if (eof_) return false;
  if (pos_ > 0) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      failed_ = n < 0;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

bool LineReader::getline(std::string& line) {
  std::size_t scanned = pos_;
  for (;;) {
    std::size_t nl = buffer_.find('\n', scanned);
    if (nl != std::string::npos) {
      line.assign(buffer_, pos_, nl + 1 - pos_);
      pos_ = nl + 1;
      return true;
    }
    scanned = buffer_.size() - pos_;  // offset after fill() compacts the buffer
    if (!fill()) {
      if (pos_ >= buffer_.size()) return false;
      line.assign(buffer_, pos_, std::string::npos);
      pos_ = buffer_.size();
      return true;
    }
  }
}

bool LineReader::append_line(std::string& out) {
  bool taken = false;
  for (;;) {
    const std::size_t nl = buffer_.find('\n', pos_);
    if (nl != std::string::npos) {
      out.append(buffer_, pos_, nl + 1 - pos_);
      pos_ = nl + 1;
      return true;
    }
    taken = taken || pos_ < buffer_.size();
    out.append(buffer_, pos_, std::string::npos);
    buffer_.clear();
    pos_ = 0;
    if (!fill()) return taken;
  }
}

bool LineReader::read_chunk(std::string& out, std::size_t max) {
  if (pos_ >= buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
    if (!fill()) return false;
  }
  std::size_t n = std::min(max, buffer_.size() - pos_);
  out.assign(buffer_, pos_, n);
  pos_ += n;
  return true;
}

LineReader& standard_input() {
  static LineReader reader(STDIN_FILENO);
  return reader;
}

}  // namespace Orvane::SendVetter
