#pragma once

#include <QPointer>
#include <QWidget>

#include "app/host.h"

namespace qv {

// Shows the core's messages as message boxes titled "Quorvin", owned by `owner` (none for the
// ownerless host of start-up). Status and row calls are for window hosts; this base ignores them.
// User-interface thread only.
class QtMessageHost : public BatchHost {
 public:
  explicit QtMessageHost(QWidget* owner = nullptr) : m_owner(owner) {}

  int ShowMessageBox(const std::string& text, unsigned type) override;
  void SetStatusText(const std::string&) override {}
  void PumpMessages() override;
  void SetBatchControls(bool) override {}  // message boxes only: no layout to switch

 private:
  QPointer<QWidget> m_owner;
};

}  // namespace qv
