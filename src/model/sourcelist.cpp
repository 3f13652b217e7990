#include "model/sourcelist.h"

#include <algorithm>
#include <numeric>
#include <sys/stat.h>

namespace qv {

namespace {
const std::string kEmpty;
}

int SourceList::AddRow(const std::string& title, const std::string& type,
                       const std::string& size, const std::string& kbps,
                       const std::string& freq, const std::string& bits,
                       const std::string& chans, const std::string& sourcePath,
                       const std::string& tempWavPath, bool extracted) {
  const int index = RowCount();
  Row row;
  row.cells[kColTitle] = title;
  row.cells[kColType] = type;
  row.cells[kColSize] = size;
  row.cells[kColKbps] = kbps;
  row.cells[kColFreq] = freq;
  row.cells[kColBits] = bits;
  row.cells[kColChans] = chans;
  row.item = std::make_unique<QVListItem>(index, m_nextRowSerial++);
  row.item->SetPaths(sourcePath, tempWavPath, extracted);
  struct stat info {};
  row.hasId = ::stat(sourcePath.c_str(), &info) == 0;
  if (row.hasId) row.id = FileId{info.st_dev, info.st_ino};
  IndexRow(row);
  if (m_observer) m_observer->BeginInsertRow(index);
  m_rows.push_back(std::move(row));
  if (m_observer) m_observer->EndInsertRow();
  return index;
}

const std::string& SourceList::CellText(int row, int column) const {
  if (!Valid(row) || column < 0 || column >= kColumnCount) return kEmpty;
  return m_rows[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
}

void SourceList::SetCellText(int row, int column, const std::string& text) {
  if (!Valid(row) || column < 0 || column >= kColumnCount) return;
  m_rows[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)] = text;
  if (m_observer) m_observer->CellChanged(row, column);
}

QVListItem* SourceList::Item(int row) {
  return Valid(row) ? m_rows[static_cast<std::size_t>(row)].item.get() : nullptr;
}

const QVListItem* SourceList::Item(int row) const {
  return Valid(row) ? m_rows[static_cast<std::size_t>(row)].item.get() : nullptr;
}

bool SourceList::IsSelected(int row) const {
  return Valid(row) && m_rows[static_cast<std::size_t>(row)].selected;
}

void SourceList::SelectRow(int row, bool on) {
  if (!Valid(row)) return;
  Row& r = m_rows[static_cast<std::size_t>(row)];
  if (r.selected == on) return;
  r.selected = on;
  if (m_observer) m_observer->SelectionChanged(row, on);
}

void SourceList::DeselectAll() {
  for (int i = 0; i < RowCount(); ++i) SelectRow(i, false);
}

int SourceList::SelectedCount() const {
  return static_cast<int>(
      std::count_if(m_rows.begin(), m_rows.end(), [](const Row& r) { return r.selected; }));
}

double SourceList::GetSeconds(int row) const {
  const QVListItem* item = Item(row);
  return item ? item->facts.seconds : 0.0;
}

double SourceList::GetGainFactor(int row) const {
  const QVListItem* item = Item(row);
  return item ? item->gainFactor : 1.0;
}

std::string SourceList::GetSourcePath(int row) const {
  const QVListItem* item = Item(row);
  return item ? item->sourcePath : std::string();
}

std::string SourceList::GetDecodePath(int row) const {
  const QVListItem* item = Item(row);
  return item ? item->GetDecodePath() : std::string();
}

std::string SourceList::GetSelectedDecodePath() const {
  int found = -1;
  for (int i = 0; i < RowCount(); ++i) {
    if (!m_rows[static_cast<std::size_t>(i)].selected) continue;
    if (found >= 0) return {};
    found = i;
  }
  return found >= 0 ? GetDecodePath(found) : std::string();
}

bool SourceList::ContainsFile(const std::string& path) const {
  if (m_pathCount.find(path) != m_pathCount.end()) return true;
  if (m_idCount.empty()) return false;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  return m_idCount.find(FileId{info.st_dev, info.st_ino}) != m_idCount.end();
}

void SourceList::IndexRow(const Row& row) {
  if (!row.item) return;
  ++m_pathCount[row.item->sourcePath];
  if (row.hasId) ++m_idCount[row.id];
}

void SourceList::UnindexRow(const Row& row) {
  if (!row.item) return;
  if (auto found = m_pathCount.find(row.item->sourcePath); found != m_pathCount.end()) {
    if (--found->second <= 0) m_pathCount.erase(found);
  }
  if (!row.hasId) return;
  if (auto found = m_idCount.find(row.id); found != m_idCount.end()) {
    if (--found->second <= 0) m_idCount.erase(found);
  }
}

void SourceList::RenumberRows() {
  for (int i = 0; i < RowCount(); ++i) {
    if (QVListItem* item = Item(i)) item->position = i;
  }
}

int SourceList::RemoveSelectedRows() {
  // Contiguous selected rows go as one block (one erase, one notification), from the last block
  // to the first: removing a selection of thousands of rows is not a move of the list per row.
  int removed = 0;
  for (int last = RowCount() - 1; last >= 0;) {
    if (!m_rows[static_cast<std::size_t>(last)].selected) {
      --last;
      continue;
    }
    int first = last;
    while (first > 0 && m_rows[static_cast<std::size_t>(first - 1)].selected) --first;
    if (m_observer) m_observer->BeginRemoveRows(first, last);
    for (int i = first; i <= last; ++i) {
      Row& row = m_rows[static_cast<std::size_t>(i)];
      UnindexRow(row);
      row.item.reset();  // destroys the record (and its temporary WAV)
    }
    m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
    if (m_observer) m_observer->EndRemoveRows();
    removed += last - first + 1;
    last = first - 1;
  }
  RenumberRows();
  return removed;
}

void SourceList::RemoveAllRows() {
  if (m_observer) m_observer->BeginReset();
  m_rows.clear();
  m_pathCount.clear();
  m_idCount.clear();
  if (m_observer) m_observer->EndReset();
}

void SourceList::DestroyAllItems() {
  for (Row& row : m_rows) row.item.reset();
  m_pathCount.clear();
  m_idCount.clear();
}

SortKind SourceList::ColumnSortKind(int column) const {
  return column >= 0 && column < kColumnCount ? kColumns[column].sortKind : SortKind::Text;
}

int SourceList::CompareRows(const Row& a, const Row& b) const {
  const auto column = static_cast<std::size_t>(m_sortColumn);
  switch (m_sortState) {
    case SortState::Unsorted: {
      const int sa = a.item ? a.item->serial : 0;
      const int sb = b.item ? b.item->serial : 0;
      return sa < sb ? -1 : (sa > sb ? 1 : 0);
    }
    case SortState::Ascending:
      return CompareCells(ColumnSortKind(m_sortColumn), a.cells[column], b.cells[column]);
    case SortState::Descending:
      return CompareCells(ColumnSortKind(m_sortColumn), b.cells[column], a.cells[column]);
  }
  return 0;
}

void SourceList::OnColumnClick(int column) {
  if (m_rows.empty() || column < 0 || column >= kColumnCount) return;
  m_sortColumn = column;
  if (column == m_previousSortColumn) {
    m_sortState = m_sortState == SortState::Unsorted    ? SortState::Ascending
                  : m_sortState == SortState::Ascending ? SortState::Descending
                                                        : SortState::Unsorted;
  } else {
    m_sortState = SortState::Ascending;
  }

  // Rows that compare equal keep their previous relative order (a stable sort).
  std::vector<int> order(m_rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [this](int a, int b) {
    return CompareRows(m_rows[static_cast<std::size_t>(a)],
                       m_rows[static_cast<std::size_t>(b)]) < 0;
  });
  if (m_observer) m_observer->BeginReorder();
  std::vector<Row> sorted;
  sorted.reserve(m_rows.size());
  std::vector<int> newIndexOfOld(m_rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    newIndexOfOld[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
    sorted.push_back(std::move(m_rows[static_cast<std::size_t>(order[i])]));
  }
  m_rows = std::move(sorted);
  m_previousSortColumn = column;
  RenumberRows();
  if (m_observer) m_observer->EndReorder(newIndexOfOld);
}

}  // namespace qv
