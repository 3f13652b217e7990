#include "convert/albumgate.h"

#include <map>
#include <string>

#include "loudness/loudness.h"
#include "model/sourcelist.h"

namespace qv {

AlbumGate::AlbumGate(SourceList& list, int rowCount, bool enabled)
    : m_albumOf(static_cast<size_t>(rowCount), -1) {
  if (!enabled) return;
  std::map<std::string, int> indexOf;
  for (int row = 0; row < rowCount; ++row) {
    QVListItem* item = list.Item(row);
    if (!item) continue;
    if (item->albumKey.empty()) {
      item->albumKey = AlbumKeyOf(item->sourcePath, item->tags, &item->facts.fileTags);
    }
    const auto [it, added] = indexOf.emplace(item->albumKey, static_cast<int>(m_lastRow.size()));
    if (added) m_lastRow.push_back(row);
    m_albumOf[static_cast<size_t>(row)] = it->second;
    m_lastRow[static_cast<size_t>(it->second)] = row;
  }
  m_finished.assign(m_lastRow.size(), false);
  m_held.resize(m_lastRow.size());
}

std::vector<int> AlbumGate::Release(int album) {
  if (m_finished[static_cast<size_t>(album)]) return {};
  m_finished[static_cast<size_t>(album)] = true;
  return std::move(m_held[static_cast<size_t>(album)]);
}

std::vector<int> AlbumGate::Committed(int row) {
  const int album = m_albumOf[static_cast<size_t>(row)];
  if (album < 0 || m_lastRow[static_cast<size_t>(album)] != row) return {};
  return Release(album);
}

std::vector<std::vector<int>> AlbumGate::Unfinished() {
  std::vector<std::vector<int>> albums;
  for (size_t album = 0; album < m_lastRow.size(); ++album) {
    if (m_finished[album]) continue;
    std::vector<int> rows = Release(static_cast<int>(album));
    if (!rows.empty()) albums.push_back(std::move(rows));
  }
  return albums;
}

}  // namespace qv
