#include "model/mainwindowmodel.h"

#include <algorithm>

#include "app/host.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "model/batchrunner.h"

namespace qv {

int MainWindowModel::Jobs() const {
  return Settings().Jobs > 0 ? Settings().Jobs : AvailableCores();
}

MainWindowModel::~MainWindowModel() {
  m_player.reset();  // before the rows: the player may hold a row's temporary WAV open
}

void MainWindowModel::StopPreview() {
  if (m_player) m_player->StopAndRewind();
}

void MainWindowModel::Play() {
  const std::string path = m_list.GetSelectedDecodePath();
  if (path.empty()) {
    ShowMessage(&m_host, 0, {}, MB_OK, "Please select one Audio File for Playback, thanks.");
    return;
  }
  const QVListItem* item = m_list.Item(m_list.SelectedRow());
  if (m_player) {
    PlayOrStop(*m_player, path, item ? FramesOf(item->range, item->facts.rate) : audio::FrameRange{});
  }
}

int MainWindowModel::Remove() {
  StopPreview();
  return m_list.RemoveSelectedRows();
}

void MainWindowModel::RemoveAll() {
  StopPreview();
  m_list.RemoveAllRows();
}

bool MainWindowModel::CheckListForNormalization() {
  if (m_list.RowCount() > 0) return true;
  ShowMessage(&m_host, 0, {}, MB_OK,
              "No Audio Files have been added to the Convert List.  Please add some Audio Files "
              "first, thanks.");
  return false;
}

void MainWindowModel::Cancel() {
  // Nothing moves while the user decides: the workers wait at their next block.
  m_batch.Pause.Pause();
  const int answer = ShowMessage(&m_host, 0, {}, MB_YESNO | MB_DEFBUTTON2, "Cancel the %s?",
                                 m_batch.CurrentBatchName.c_str());
  if (answer == IDYES) {
    m_batch.BatchInProgress = 0;
    m_batch.CancelRequested = 1;
  }
  m_batch.Pause.Resume();
}

bool MainWindowModel::ConfirmExit() {
  if (m_exitConfirmed) return true;
  if (m_batch.BatchInProgress == 1 || m_batch.BatchLayoutActive) {
    ShowMessage(&m_host, 0, {}, MB_OK,
                "A %s is in progress.  Please Cancel the conversion, before closing, thanks.",
                m_batch.CurrentBatchName.c_str());
    return false;
  }
  if (ShowMessage(&m_host, 0, {}, MB_YESNO | MB_DEFBUTTON2, "Are you sure you want to exit?") ==
      IDNO) {
    return false;
  }
  // The preview stream goes before the library that made it.
  if (m_player) m_player->Close();
  BASS_Free();
  m_list.DestroyAllItems();
  m_exitConfirmed = true;
  return true;
}

std::string MainWindowModel::AboutText(const std::string& version) {
  return "Quorvin " + version +
         "\n\nA batch audio converter for Linux.\n"
         "Copyright (C) the Quorvin developers. All rights reserved.";
}

void MainWindowModel::NotAvailableYet() {
  ShowMessage(&m_host, 0, {}, MB_OK, "%s", kNotAvailableYet);
}

int FindOrAppendDestination(std::vector<std::string>& entries, const std::string& chosen) {
  const auto found = std::find(entries.begin(), entries.end(), chosen);
  if (found != entries.end()) return static_cast<int>(found - entries.begin());
  entries.push_back(chosen);
  return static_cast<int>(entries.size()) - 1;
}

}  // namespace qv
