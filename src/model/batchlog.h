#pragma once

#include <string>

namespace qv {

// The log of the last batch (QV_Log.txt): emptied when a conversion or loudness batch starts,
// written record by record, closed at the end. Every write goes to the end of the file, so the
// messages that ShowMessage appends to the same path between records keep their order. Lines
// end in LF. Owns its file descriptor; user-interface thread only.
class BatchLog {
 public:
  BatchLog() = default;
  ~BatchLog() { Close(); }
  BatchLog(const BatchLog&) = delete;
  BatchLog& operator=(const BatchLog&) = delete;

  // Creates or empties the file. False (and closed) when it cannot be created.
  bool Open(const std::string& path);
  bool IsOpen() const { return m_fd >= 0; }
  const std::string& Path() const { return m_path; }
  // Appends the text as it stands. False when the write failed (the batch goes on; a lost log
  // line never stops a conversion).
  bool Write(const std::string& text);
  void Close();

 private:
  int m_fd = -1;
  std::string m_path;
};

}  // namespace qv
