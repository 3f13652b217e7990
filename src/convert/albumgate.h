#pragma once
// The album gate of a batch that writes album ReplayGain tags: an album's outputs are held,
// complete but under their hidden names, until the album's last row is committed; then they
// are measured together, get their album pair and their names at once, so no file under its
// final name lacks its album tags. User-interface thread only.

#include <cstddef>
#include <vector>

namespace qv {

class SourceList;

class AlbumGate {
 public:
  // Without `enabled` the gate holds nothing. Reads each row's album key (AlbumKeyOf of its
  // source when the row has none yet).
  AlbumGate(SourceList& list, int rowCount, bool enabled);

  // Whether the row's output waits for its album (it belongs to one).
  bool InAlbum(int row) const { return m_albumOf[static_cast<std::size_t>(row)] >= 0; }
  // Hold the row's finished output for its album.
  void Hold(int row) {
    m_held[static_cast<std::size_t>(m_albumOf[static_cast<std::size_t>(row)])].push_back(row);
  }
  // A row was committed, in row order. Returns the held rows of its album when it was the
  // album's last row (each album once), else nothing.
  std::vector<int> Committed(int row);
  // The held rows of every album not finished yet (the batch ended before their last row),
  // one album after the other.
  std::vector<std::vector<int>> Unfinished();

 private:
  std::vector<int> Release(int album);

  std::vector<int> m_albumOf;  // -1 outside an album
  std::vector<int> m_lastRow;  // the last row of each album
  std::vector<bool> m_finished;
  std::vector<std::vector<int>> m_held;  // each album's held rows, in row order
};

}  // namespace qv
