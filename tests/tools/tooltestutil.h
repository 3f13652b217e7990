#pragma once
// Helpers for the tool tests: process liveness from /proc, pid files, environment settings that
// are put back, a progress view that records what it is shown, and waiting on the event loop.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tools/toolprogress.h"

namespace qv::test {

// True while `pid` names a process that has not ended (a zombie counts as ended).
inline bool ProcessAlive(long pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline long ReadPid(const std::string& path) {
  const std::string text = ReadFile(path);
  return text.empty() ? -1 : std::atol(text.c_str());
}

// Sets an environment variable for the scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (m_old) ::setenv(m_name, m_old->c_str(), 1);
    else ::unsetenv(m_name);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

// Handles events until `done` holds or `timeoutMs` passed; returns `done()`.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    WaitForEvents(50);
  }
  return true;
}

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count());
}

// A progress view that keeps everything it is shown.
class RecordingView : public ToolProgressView {
 public:
  void SetTitle(const std::string& text) override { title = text; }
  void SetCaption(const std::string& text) override { caption = text; }
  void SetSubject(const std::string& text) override { subject = text; }
  void SetProgress(int position) override {
    positions.push_back(position);
    if (onProgress) onProgress();
  }
  void SetProgressText(const std::string& text) override { texts.push_back(text); }
  void ShowView() override { ++shown; }
  void PumpMessages() override {
    ++pumps;
    ToolProgressView::PumpMessages();
  }

  std::string title, caption, subject;
  std::vector<int> positions;
  std::vector<std::string> texts;
  int shown = 0;
  int pumps = 0;
  std::function<void()> onProgress;
};

}  // namespace qv::test
