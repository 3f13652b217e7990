#include "app/settings.h"

namespace qv {

AppSettings& Settings() {
  static AppSettings settings;
  return settings;
}

int ParseJobsText(std::string_view text) {
  if (text.empty()) return 0;
  if (text.size() > 2) return -1;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= kMaxJobs ? value : -1;
}

}  // namespace qv
