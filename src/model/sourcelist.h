#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

#include "model/listcolumns.h"
#include "model/qvlistitem.h"

namespace qv {

// Told about every change of a SourceList so a view can follow it. The Begin/End pairs bracket
// the change; between them the list already or still holds the old rows as documented.
class SourceListObserver {
 public:
  virtual ~SourceListObserver() = default;
  virtual void BeginInsertRow(int row) = 0;
  virtual void EndInsertRow() = 0;
  // Rows first to last (inclusive) go; several blocks of one removal come from the last block
  // to the first, so the indexes of a block are those before the block is removed.
  virtual void BeginRemoveRows(int first, int last) = 0;
  virtual void EndRemoveRows() = 0;
  virtual void BeginReset() = 0;
  virtual void EndReset() = 0;
  // A sort: `newIndexOfOld[i]` is the index that the row formerly at i now has.
  virtual void BeginReorder() = 0;
  virtual void EndReorder(const std::vector<int>& newIndexOfOld) = 0;
  virtual void CellChanged(int row, int column) = 0;
  virtual void SelectionChanged(int row, bool selected) = 0;
};

enum class SortState { Unsorted = 0, Ascending = 1, Descending = 2 };

// The rows of the source file list: eleven cell texts, the selection flag and the QVListItem
// record of each row, the sort state of the column headings, and the serial counter handed to
// new rows. Rows are added at the end only. This is the program's data model; the Qt list view
// shows it and the batches read and write it between pumping events. User-interface thread
// only.
class SourceList {
 public:
  using Cells = std::array<std::string, kColumnCount>;

  SourceList() = default;
  SourceList(const SourceList&) = delete;
  SourceList& operator=(const SourceList&) = delete;

  // One observer at a time (the list view); nullptr detaches.
  void SetObserver(SourceListObserver* observer) { m_observer = observer; }

  // Appends a row with the cell texts 0 to 6 of a newly probed file (7 to 10 stay empty) and a
  // new record with position = the new index and serial = NextRowSerial, which then increases.
  // Returns the new row's index.
  int AddRow(const std::string& title, const std::string& type, const std::string& size,
             const std::string& kbps, const std::string& freq, const std::string& bits,
             const std::string& chans, const std::string& sourcePath,
             const std::string& tempWavPath, bool extracted);

  int RowCount() const { return static_cast<int>(m_rows.size()); }
  int NextRowSerial() const { return m_nextRowSerial; }

  const std::string& CellText(int row, int column) const;
  void SetCellText(int row, int column, const std::string& text);
  // The record of a row; nullptr for an index out of range or after DestroyAllItems.
  QVListItem* Item(int row);
  const QVListItem* Item(int row) const;

  bool IsSelected(int row) const;
  // Selects (on) or deselects one row; other rows are untouched; out-of-range rows are ignored.
  void SelectRow(int row, bool on);
  void DeselectAll();
  int SelectedCount() const;

  // The probed length of a row's source in seconds; 0 when unknown or out of range.
  double GetSeconds(int row) const;
  // 1.0 (no gain) for an index out of range or a row without its record.
  double GetGainFactor(int row) const;
  // Empty for an index out of range or a row without its record.
  std::string GetSourcePath(int row) const;
  std::string GetDecodePath(int row) const;
  // The decode path of the one selected row; empty unless exactly one row is selected.
  std::string GetSelectedDecodePath() const;
  // True when some row's source path names the same file as `path`: the same text, or (when
  // both exist) the same file on disk, as the file system decides (a case-insensitive file
  // system, a link). Two spellings that differ only in letter case are different files on a
  // case-sensitive file system. Constant time: one lookup by text, one stat and one lookup by
  // device and inode. Rows without a record (after DestroyAllItems) hold no file.
  bool ContainsFile(const std::string& path) const;

  // Writes every row's index into its record's position.
  void RenumberRows();
  // Removes the selected rows (destroying their records), renumbers the rest and returns the
  // number removed.
  int RemoveSelectedRows();
  // Removes every row, destroying every record. NextRowSerial does not change.
  void RemoveAllRows();
  // Destroys every record (deleting temporary WAVs) and keeps the rows; used at exit.
  void DestroyAllItems();

  // A click on a column heading: cycles the sort state of that column (a new column starts at
  // ascending), sorts, renumbers. Nothing happens on an empty list.
  void OnColumnClick(int column);
  SortState GetSortState() const { return m_sortState; }
  int SortColumn() const { return m_sortColumn; }
  SortKind ColumnSortKind(int column) const;

 private:
  // Which file a row's source path named when the row was added.
  struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
  };
  struct FileIdHash {
    std::size_t operator()(const FileId& id) const {
      return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.inode) * 1000003u ^
                                             static_cast<unsigned long long>(id.device));
    }
  };
  struct Row {
    Cells cells;
    std::unique_ptr<QVListItem> item;
    bool selected = false;
    bool hasId = false;  // the source path existed when the row was added
    FileId id;
  };

  // The duplicate index: how many rows with a record hold each source path text and each file
  // identity. Counts, not row indexes, so a sort leaves it untouched.
  void IndexRow(const Row& row);
  void UnindexRow(const Row& row);

  bool Valid(int row) const { return row >= 0 && row < RowCount(); }
  // Negative when a goes first, per the current sort column and state.
  int CompareRows(const Row& a, const Row& b) const;

  std::vector<Row> m_rows;
  std::unordered_map<std::string, int> m_pathCount;
  std::unordered_map<FileId, int, FileIdHash> m_idCount;
  int m_nextRowSerial = 0;
  int m_previousSortColumn = 0;
  int m_sortColumn = 0;
  SortState m_sortState = SortState::Unsorted;
  SourceListObserver* m_observer = nullptr;
};

}  // namespace qv
