#pragma once

#include <array>
#include <cstddef>
#include <functional>
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

// The rows of the source file list: the QVListItem record of each row (the probe columns are
// drawn from its facts), the texts of the title, type and loudness columns, the selection flag,
// the sort state of the column headings, and the serial counter handed to new rows. Rows are
// added at the end only. This is the program's data model; the Qt list view shows it, and the
// batches read and write it on the calling thread as they prepare and commit rows (their
// workers never touch it). User-interface thread only.
class SourceList {
 public:
  SourceList() = default;
  SourceList(const SourceList&) = delete;
  SourceList& operator=(const SourceList&) = delete;

  // One observer at a time (the list view); nullptr detaches.
  void SetObserver(SourceListObserver* observer) { m_observer = observer; }

  // Appends a row for `sourcePath` (the part `range` of it) with the title and type texts and
  // what the probe found, and a new record with position = the new index and serial =
  // NextRowSerial, which then increases. The loudness cells start empty. Returns the new row's
  // index.
  int AddRow(const std::string& title, const std::string& type, const SourceFacts& facts,
             const std::string& sourcePath, const std::string& tempWavPath, bool extracted,
             TimeRange range = {});
  // The same from the probe columns' texts as the cells show them ("2.861", "128", "44,100",
  // "16 Bit", "2"), read back into facts the way the columns sort them.
  int AddRow(const std::string& title, const std::string& type, const std::string& size,
             const std::string& kbps, const std::string& freq, const std::string& bits,
             const std::string& chans, const std::string& sourcePath,
             const std::string& tempWavPath, bool extracted);

  int RowCount() const { return static_cast<int>(m_rows.size()); }
  int NextRowSerial() const { return m_nextRowSerial; }

  // A cell's text: the probe columns drawn from the record's facts (empty without a record),
  // the others as stored.
  std::string CellText(int row, int column) const;
  // Stores the text of a title, type or loudness cell; the probe columns follow the facts and
  // ignore it.
  void SetCellText(int row, int column, const std::string& text);
  // Marks a row (see QVListItem::Mark) and has the view show it.
  void SetRowMark(int row, QVListItem::Mark mark, const std::string& note);
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
  // The row of GetSelectedDecodePath (-1 unless exactly one row is selected).
  int SelectedRow() const;
  std::string GetSelectedDecodePath() const;
  // True when some row's source path names the same file as `path` for the same part of it
  // (`range`): the same text, or (when both exist) the same file on disk, as the file system
  // decides (a case-insensitive file system, a link). Two spellings that differ only in letter
  // case are different files on a case-sensitive file system. Constant time: one lookup by
  // text, one stat and one lookup by device and inode. Rows without a record (after
  // DestroyAllItems) hold no file.
  bool ContainsFile(const std::string& path, TimeRange range = {}) const;

  // Probes again the source of every row whose file's size or modification time differs from
  // what its facts say, with `probe`, and takes the new facts (the probe cells follow). Rows of
  // an extracted video (their facts are of the extracted sound track), rows whose file is gone
  // and files the probe fails on keep their facts. Returns the number of rows updated.
  using FactsProbe = std::function<bool(const std::string& path, SourceFacts& facts)>;
  int RefreshChangedRows(const FactsProbe& probe);

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
  // Which file a row's source path named when the row was added, and the part of it the row
  // covers.
  struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    TimeRange range;
    bool operator==(const FileId&) const = default;
  };
  struct FileIdHash {
    std::size_t operator()(const FileId& id) const {
      return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.inode) * 1000003u ^
                                             static_cast<unsigned long long>(id.device)) ^
             std::hash<double>()(id.range.start) * 31u ^ std::hash<double>()(id.range.end);
    }
  };
  // The stored texts: title, type and the five loudness columns.
  static constexpr int kStoredColumns = 2 + (kColumnCount - kColVolume);
  // The slot of a stored column; -1 for a probe column.
  static int StoredSlot(int column) {
    return column < kColSize ? column : (column >= kColVolume ? column - kColVolume + 2 : -1);
  }
  struct Row {
    std::array<std::string, kStoredColumns> texts;
    std::unique_ptr<QVListItem> item;
    bool selected = false;
    bool hasId = false;  // the source path existed when the row was added
    FileId id;
  };
  // The text key of a source path with a part of it.
  static std::string PathKey(const std::string& path, TimeRange range);

  // The duplicate index: how many rows with a record hold each source path text and each file
  // identity. Counts, not row indexes, so a sort leaves it untouched.
  void IndexRow(const Row& row);
  void UnindexRow(const Row& row);

  bool Valid(int row) const { return row >= 0 && row < RowCount(); }

  std::vector<Row> m_rows;
  std::unordered_map<std::string, int> m_pathCount;  // by PathKey
  std::unordered_map<FileId, int, FileIdHash> m_idCount;
  int m_nextRowSerial = 0;
  int m_previousSortColumn = 0;
  int m_sortColumn = 0;
  SortState m_sortState = SortState::Unsorted;
  SourceListObserver* m_observer = nullptr;
};

}  // namespace qv
