#pragma once

#include <string>

namespace qv {

// The log of the last batch (QV_Log.txt): emptied when a conversion or loudness batch starts,
// written record by record, closed at the end. Every write goes to the end of the file, so the
// messages that ShowMessage appends to the same path between records keep their order. Lines
// end in LF. Owns its file descriptor; user-interface thread only. A batch opens its own, or is
// given one its caller keeps open across batches.
//
// While it is open the log is held with an exclusive flock. When another running instance
// holds the usual log, this batch writes a numbered one beside it instead ("QV_Log-2.txt", the
// first number not held by anybody), so no instance ever empties a log that another one is
// still writing. Path() names the file actually used.
class BatchLog {
 public:
  // The highest number a log may take before Open gives up.
  static constexpr int kMaxNumber = 99;

  BatchLog() = default;
  ~BatchLog() { Close(); }
  BatchLog(const BatchLog&) = delete;
  BatchLog& operator=(const BatchLog&) = delete;

  // Opens `path` (or the first numbered log beside it that no other instance holds), takes its
  // lock and empties it. False (and closed) when it cannot be created. A log that is open
  // already for the same `path` is emptied and kept, lock and all (the window holds its log
  // from its first batch to its end, so no other run can take it between two batches); when
  // its file was removed or replaced meanwhile, the log is opened anew.
  bool Open(const std::string& path);
  bool IsOpen() const { return m_fd >= 0; }
  // The file this log writes to: the path given to Open, or the numbered one it chose.
  const std::string& Path() const { return m_path; }
  // Appends the text as it stands. False when the write failed (the batch goes on; a lost log
  // line never stops a conversion).
  bool Write(const std::string& text);
  // Releases the lock and closes the file (which stays).
  void Close();

  // "QV_Log.txt" numbered: "QV_Log-<number>.txt" (the number before the last extension of the
  // file name); `path` itself for number 1.
  static std::string NumberedPath(const std::string& path, int number);

 private:
  // True when the open descriptor is still the file named by m_path.
  bool StillNamed() const;

  int m_fd = -1;
  std::string m_path;
  std::string m_requested;  // the path given to Open
};

// The path of the log that the last successful BatchLog::Open of this process chose (empty
// before the first), so a front end can name it after a batch. User-interface thread only.
const std::string& LastBatchLogPath();

}  // namespace qv
