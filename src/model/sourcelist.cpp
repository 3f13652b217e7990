#include "model/sourcelist.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <sys/stat.h>

namespace qv {

std::string SourceList::PathKey(const std::string& path, TimeRange range) {
  // The whole file is known by its path alone; a part adds its bounds after a NUL, which no
  // path holds.
  if (range == TimeRange{}) return path;
  std::string key = path;
  key += '\0';
  key.append(reinterpret_cast<const char*>(&range.start), sizeof range.start);
  key.append(reinterpret_cast<const char*>(&range.end), sizeof range.end);
  return key;
}

int SourceList::AddRow(const std::string& title, const std::string& type,
                       const SourceFacts& facts, const std::string& sourcePath,
                       const std::string& tempWavPath, bool extracted, TimeRange range) {
  const int index = RowCount();
  Row row;
  row.texts[static_cast<std::size_t>(StoredSlot(kColTitle))] = title;
  row.texts[static_cast<std::size_t>(StoredSlot(kColType))] = type;
  row.item = std::make_unique<QVListItem>(index, m_nextRowSerial++);
  row.item->SetPaths(sourcePath, tempWavPath, extracted);
  row.item->range = range;
  row.item->facts = facts;
  struct stat info {};
  row.hasId = ::stat(sourcePath.c_str(), &info) == 0;
  if (row.hasId) row.id = FileId{info.st_dev, info.st_ino, range};
  IndexRow(row);
  if (m_observer) m_observer->BeginInsertRow(index);
  m_rows.push_back(std::move(row));
  if (m_observer) m_observer->EndInsertRow();
  return index;
}

int SourceList::AddRow(const std::string& title, const std::string& type,
                       const std::string& size, const std::string& kbps,
                       const std::string& freq, const std::string& bits,
                       const std::string& chans, const std::string& sourcePath,
                       const std::string& tempWavPath, bool extracted) {
  const auto count = [](std::string_view text) {
    return static_cast<unsigned>(std::clamp<std::int64_t>(ReadIntegerCell(text), 0, INT_MAX));
  };
  SourceFacts facts;
  const double megabytes = ReadLeadingReal(size);
  facts.size = megabytes > 0 ? static_cast<std::uint64_t>(std::llround(megabytes * 1048576.0)) : 0;
  facts.kbps = count(kbps);
  facts.rate = count(freq);
  facts.bits = count(bits);
  facts.channels = count(chans);
  return AddRow(title, type, facts, sourcePath, tempWavPath, extracted);
}

std::string SourceList::CellText(int row, int column) const {
  if (!Valid(row) || column < 0 || column >= kColumnCount) return {};
  const Row& r = m_rows[static_cast<std::size_t>(row)];
  if (IsProbeColumn(column)) return r.item ? FormatProbeCell(column, r.item->facts) : std::string();
  return r.texts[static_cast<std::size_t>(StoredSlot(column))];
}

void SourceList::SetCellText(int row, int column, const std::string& text) {
  if (!Valid(row) || column < 0 || column >= kColumnCount || IsProbeColumn(column)) return;
  m_rows[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(StoredSlot(column))] = text;
  if (m_observer) m_observer->CellChanged(row, column);
}

void SourceList::SetRowMark(int row, QVListItem::Mark mark, const std::string& note) {
  QVListItem* item = Item(row);
  if (!item || (item->mark == mark && item->markNote == note)) return;
  item->mark = mark;
  item->markNote = note;
  for (int column = 0; m_observer && column < kColumnCount; ++column) {
    m_observer->CellChanged(row, column);
  }
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

int SourceList::SelectedRow() const {
  int found = -1;
  for (int i = 0; i < RowCount(); ++i) {
    if (!m_rows[static_cast<std::size_t>(i)].selected) continue;
    if (found >= 0) return -1;
    found = i;
  }
  return found;
}

std::string SourceList::GetSelectedDecodePath() const {
  const int found = SelectedRow();
  return found >= 0 ? GetDecodePath(found) : std::string();
}

bool SourceList::ContainsFile(const std::string& path, TimeRange range) const {
  if (m_pathCount.find(PathKey(path, range)) != m_pathCount.end()) return true;
  if (m_idCount.empty()) return false;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  return m_idCount.find(FileId{info.st_dev, info.st_ino, range}) != m_idCount.end();
}

void SourceList::IndexRow(const Row& row) {
  if (!row.item) return;
  ++m_pathCount[PathKey(row.item->sourcePath, row.item->range)];
  if (row.hasId) ++m_idCount[row.id];
}

void SourceList::UnindexRow(const Row& row) {
  if (!row.item) return;
  const std::string key = PathKey(row.item->sourcePath, row.item->range);
  if (auto found = m_pathCount.find(key); found != m_pathCount.end()) {
    if (--found->second <= 0) m_pathCount.erase(found);
  }
  if (!row.hasId) return;
  if (auto found = m_idCount.find(row.id); found != m_idCount.end()) {
    if (--found->second <= 0) m_idCount.erase(found);
  }
}

int SourceList::RefreshChangedRows(const FactsProbe& probe) {
  int updated = 0;
  for (int index = 0; index < RowCount(); ++index) {
    QVListItem* item = Item(index);
    if (!item || item->extracted == 1) continue;
    struct stat info {};
    if (::stat(item->sourcePath.c_str(), &info) != 0) continue;
    const std::int64_t modified =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (static_cast<std::uint64_t>(info.st_size) == item->facts.size &&
        modified == item->facts.modifiedNs) {
      continue;
    }
    SourceFacts fresh;
    if (!probe || !probe(item->sourcePath, fresh)) continue;
    item->facts = FactsOfPart(fresh, item->range);
    item->albumKey.clear();  // its tags may have changed too: read again when next needed
    ++updated;
    for (int column = kColSize; column <= kColChans && m_observer; ++column) {
      m_observer->CellChanged(index, column);
    }
  }
  return updated;
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

namespace {

// What a row sorts by in the column being sorted, read once per sort: a number for the numeric
// columns (from the facts, or from the stored loudness text as its column reads it), the text
// for the others.
struct SortKey {
  std::int64_t whole = 0;
  double real = 0.0;
  const std::string* text = nullptr;
};

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

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
  std::vector<SortKey> keys(m_rows.size());
  const SortKind kind = ColumnSortKind(column);
  const int slot = StoredSlot(column);
  for (std::size_t i = 0; i < m_rows.size(); ++i) {
    const Row& row = m_rows[i];
    SortKey& key = keys[i];
    if (m_sortState == SortState::Unsorted) {
      key.whole = row.item ? row.item->serial : 0;
    } else if (slot < 0) {
      key.whole = row.item ? ProbeSortKey(column, row.item->facts) : 0;
    } else {
      const std::string& text = row.texts[static_cast<std::size_t>(slot)];
      if (kind == SortKind::Integer) key.whole = ReadIntegerCell(text);
      if (kind == SortKind::Real) key.real = ReadLeadingReal(text);
      key.text = &text;
    }
  }
  // The size column sorts as Real over its three-decimal text, which the thousandths order
  // exactly; every other number is whole or a Real read from a stored text.
  const bool real = slot >= 0 && kind == SortKind::Real && m_sortState != SortState::Unsorted;
  const bool text = slot >= 0 && kind == SortKind::Text && m_sortState != SortState::Unsorted;
  const auto compare = [&](const SortKey& a, const SortKey& b) {
    if (text) return CompareText(*a.text, *b.text);
    return real ? Sign(a.real, b.real) : Sign(a.whole, b.whole);
  };
  const bool descending = m_sortState == SortState::Descending;
  std::vector<int> order(m_rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const SortKey& ka = keys[static_cast<std::size_t>(a)];
    const SortKey& kb = keys[static_cast<std::size_t>(b)];
    return (descending ? compare(kb, ka) : compare(ka, kb)) < 0;
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
