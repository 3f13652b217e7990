#include "app/settings.h"

namespace qv {

AppSettings& Settings() {
  static AppSettings settings;
  return settings;
}

}  // namespace qv
