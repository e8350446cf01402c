// Durable appends to mail files (inbox, queue files, verifications records)
// under the mail-file lock: an append either lands whole on stable storage or
// the file is cut back to what it held before, while the lock is still held.
//
// A run can be killed at any instant, so every append first writes an
// intent record beside the file (intent_record(path)): the size the file
// had, the boot's id, then one line per file the append creates ("+path",
// deleted again if the append is cut back) or consumes ("-path", deleted
// once it is kept). The append is kept at one atomic step: the intent record is deleted,
// or, when files are consumed, renamed to kept_record(path) until they are
// gone. Whoever next holds the file's lock finds a record whose writer is
// gone and finishes its work first: an intent record cuts the file back and
// deletes what it created; a kept record deletes what it consumed. A killed
// run never answered 0, so the mail server delivers its message again. The
// intent record is not flushed to disk: after a power loss (another boot)
// only an append that consumes files, whose keeping step is flushed, is cut
// back; a plain one is kept, as its record's deletion may be what was lost.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "Orvane/SendVetter/base/status.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

// A mail file held under its lock pair; the lock is given back (lock file
// deleted, flock released, file closed) by release() or on destruction.
class MailFileLock {
 public:
  MailFileLock() = default;
  ~MailFileLock() { release(); }
  MailFileLock(const MailFileLock&) = delete;
  MailFileLock& operator=(const MailFileLock&) = delete;

  // SendVetter_popsafeopen, then makes sure the flock is really held and
  // that path still names the locked file. A file deleted or replaced while
  // we waited for it is opened again: appending to the unlinked copy would
  // lose the data. Then finishes an append whose writer was killed (see the
  // top of this file). On failure the lock file is still ours until
  // release(); handle() tells whether the file could be opened at all.
  Status acquire(const std::string& path, const std::string& mode);
  // The open file; callers may replace it by a duplicate that keeps the flock.
  SafeFile::Handle& handle() { return handle_; }
  // SendVetter_popsafeclose once; true when the file closed without error.
  bool release();

 private:
  SafeFile::Handle handle_;
  std::string lockname_;
  bool held_ = false;
};

// Flushes the directory holding path, so that a file created or deleted
// there survives a crash as created or deleted.
bool sync_directory_of(const std::string& path);

class MailFileAppend {
 public:
  MailFileAppend() = default;
  ~MailFileAppend();  // an unfinished append is abandoned
  MailFileAppend(const MailFileAppend&) = delete;
  MailFileAppend& operator=(const MailFileAppend&) = delete;

  // Opens path for appending (created when missing) under its lock and
  // writes its intent record. On false the lock is already given back. A
  // file this append created is removed again when nothing of it is kept.
  // Every step's first failure is kept in status().
  bool open(const std::string& path);
  // Creates path, which must not exist, and flocks it; no lock file and no
  // intent record, since no one else can name it yet. Abandoning removes it.
  bool create(const std::string& path);
  // Adds a file to the intent record: one this append is about to create
  // (deleted if the append is cut back), or one it consumes (deleted once
  // the append is kept).
  bool will_create(const std::string& path);
  bool will_consume(const std::string& path);
  // Buffered: data reaches the file in large blocks. false once any write
  // has failed; later calls then do nothing.
  bool write(std::string_view data);
  // Writes out the buffer and flushes the file to disk (no flush when
  // nothing was written since the last one).
  bool sync();
  // sync, close, keep the append (deleting the files it consumes) and
  // unlock. On any failure the file is first cut back to the size it had at
  // open and false is returned.
  bool commit();
  // Cuts the file back to the size at open, deletes the files noted by
  // will_create, unlocks.
  void abandon();
  // The open file, e.g. to keep its flock past commit through a duplicate.
  int fd() { return lock_.handle().fd(); }
  // Why the append failed: its first failing step; ok while nothing failed.
  const Status& status() const { return status_; }

 private:
  // Resets the state for a new append to path and ignores SIGXFSZ.
  void start(const std::string& path);
  bool flush_buffer();
  bool note(char kind, const std::string& path);
  // Any failure is kept with its reason, so no failed append reports success.
  bool failed() const { return !status_.ok(); }
  void fail(const char* step, int error);
  void roll_back(int fd);
  void unlock();

  MailFileLock lock_;
  SafeFile::Handle intent_;  // open while the intent record is ours
  Status status_;
  std::string buffer_;
  std::string path_;
  off_t kept_size_ = 0;
  bool maybe_created_ = false;  // empty at open: its directory entry may be new
  bool created_ = false;        // absent before open: a failure removes it again
  bool unsynced_ = false;  // written since the last sync
  bool locked_ = false;
  bool consumes_ = false;       // the intent record names files to consume
  struct sigaction saved_xfsz_ {};
};

}  // namespace Orvane::SendVetter
