#pragma once
// A BatchHost for tests: records every message, status text and row selection, and answers
// message boxes from a script (the default button once the script is used up).

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/host.h"

namespace qv::test {

class ScriptedHost : public BatchHost {
 public:
  struct Message {
    std::string text;
    unsigned type;
  };

  int ShowMessageBox(const std::string& text, unsigned type) override {
    messages.push_back({text, type});
    if (answers.empty()) return DefaultAnswer(type);
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void SetStatusText(const std::string& text) override { statusTexts.push_back(text); }
  void SetBatchControls(bool idle) override {
    controlCalls.push_back(idle);
    if (onBatchControls) onBatchControls(idle);
  }
  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump();
  }

  std::deque<int> answers;
  std::vector<Message> messages;
  std::vector<std::string> statusTexts;
  int pumps = 0;
  std::vector<bool> controlCalls;  // every SetBatchControls, in order
  std::function<void(bool idle)> onBatchControls;
  void (*onPump)() = nullptr;
};

}  // namespace qv::test
