// Small file-system helpers shared by every subsystem.
//
// remove_dot_pairs is the path rule of the whole module: every ".." is
// deleted, scanning left to right over non-overlapping pairs ("a/../b"
// becomes "a//b", "..." becomes "."). make_dir creates one level with mode
// 0700 (less the umask) and never a missing parent. LineReader reads a
// descriptor line by line through its own buffer; the standard-input reader
// is shared so the header intake and the body copy see one stream.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

std::string remove_dot_pairs(std::string_view text);
// Removes every occurrence of ch.
std::string remove_char(std::string_view text, char ch);

// Whether text names one entry of a directory: not empty, not "." or "..",
// and free of "/" and of NUL (which would cut the path short).
bool is_single_name(std::string_view text);
// The path helpers below treat a path holding a NUL as naming nothing,
// never as the shorter path before it.
bool path_exists(const std::string& path);  // follows symbolic links
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);
// true when fd is still the file that path names (not deleted or replaced).
bool names_file(int fd, const std::string& path);
// Modification time in seconds, or 0 when it cannot be read.
long long modification_time(const std::string& path);
// Creates one directory level with mode 0700 (subject to the umask).
bool make_dir(const std::string& path);
// make_dir unless something already exists there.
void ensure_dir(const std::string& path);
// Names in a directory, "." and ".." left out, in the directory's order.
std::vector<std::string> list_directory(const std::string& path);

// Opens path for reading only when it is a regular file (links followed),
// without ever blocking: a FIFO or device put there names nothing.
bool open_regular_file(SafeFile::Handle& file, const std::string& path);

// Whole content of a regular file; empty when it cannot be read.
std::string read_file(const std::string& path);
// Replaces the file's content all at once: written and synced under a
// temporary name beside it, then renamed over it, so a reader sees the old
// content or the new, never a part. false when nothing was replaced.
bool replace_file(const std::string& path, const std::string& content);
// Hands what is left of fd to take, chunk by chunk, until end of input;
// false on a read error or when take returns false.
bool read_rest(int fd, const std::function<bool(std::string_view)>& take);

// Buffered line reader over a descriptor it does not own.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // Next line including its "\n" (the last line may lack one); false at end
  // of input or on a read error.
  bool getline(std::string& line);
  // The same line appended to out, passing through only a block of input at
  // a time: a line of any length costs its length once.
  bool append_line(std::string& out);
  // Moves up to max bytes of the rest of the input into out (replacing it);
  // false at end of input.
  bool read_chunk(std::string& out, std::size_t max);
  // true when reading stopped on an error rather than at end of input.
  bool failed() const { return failed_; }

 private:
  bool fill();
  int fd_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

// The process's standard input, shared by header intake and body readers.
LineReader& standard_input();

}  // namespace Orvane::SendVetter
