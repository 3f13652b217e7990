#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QTimer>
#include <QTreeView>
#include <functional>

#include "model/sourcelist.h"

namespace qv {

// Shows a SourceList to Qt's item views: one row per list row, eleven columns with the
// headings, widths and alignments of the list, and no sorting of its own (a heading click goes
// to SourceList::OnColumnClick). Follows every change of the list through the observer
// interface. Does not own the list. GUI thread.
class SourceListModel : public QAbstractTableModel, public SourceListObserver {
  Q_OBJECT

 public:
  explicit SourceListModel(SourceList& list, QObject* parent = nullptr);
  ~SourceListModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void BeginInsertRow(int row) override;
  void EndInsertRow() override;
  void BeginRemoveRows(int first, int last) override;
  void EndRemoveRows() override;
  void BeginReset() override;
  void EndReset() override;
  void BeginReorder() override;
  void EndReorder(const std::vector<int>& newIndexOfOld) override;
  void CellChanged(int row, int column) override;
  void SelectionChanged(int row, bool selected) override;
  // Shows `text` as the heading of `column` instead of its usual one (empty: the usual one).
  void SetHeading(int column, const QString& text);
  QString Heading(int column) const;
  // While on, rows appended to the list reach the view together, at most every 100 ms and when
  // it is turned off: an add of thousands of files would otherwise have the view lay out and
  // paint the list once for every file. Every other change shows them first.
  void SetBatchedInserts(bool on);

 Q_SIGNALS:
  // The list's selection changed from the core (a batch selecting the row it converts).
  void CoreSelectionChanged(int row, bool selected);
  // Rows were removed, reordered or reset: the view should show the core's selection again.
  void CoreSelectionNeedsSync();

 private:
  // Tells the view of the rows appended since it last heard of rows.
  void ShowAppendedRows();

  SourceList& m_list;
  QStringList m_headings;  // one per column; empty: the usual heading
  int m_shownRows = 0;     // the rows the view knows of
  bool m_batchedInserts = false;
  QTimer m_showTimer;
};

// The source file list control: a report-style list with column headings, several rows
// selectable at once, the selection kept visible when the list loses the focus. Its selection
// and the core list's selection flags always agree; a change of the selection costs the rows
// it changes, not the length of the list. Files and folders dragged from a file manager
// (text/uri-list with local files) can be dropped on it. GUI thread.
class QVListCtrl : public QTreeView {
  Q_OBJECT

 public:
  explicit QVListCtrl(SourceList& list, QWidget* parent = nullptr);

  SourceList& List() { return m_list; }
  SourceListModel* ListModel() { return m_model; }
  // A click on the heading of `column`.
  void OnColumnClick(int column);
  // Decides whether drops are taken at the moment (null: whenever the list is enabled).
  void SetDropFilter(std::function<bool()> acceptsDrops) { m_acceptsDrops = std::move(acceptsDrops); }
  // The local files and folders named by a drag's data, in its order; empty when it names none.
  static QStringList DroppedPaths(const QMimeData* mime);
  // The Volume heading names the unit of the standard shown: "Volume (dB)", "Volume (LUFS)".
  void SetVolumeUnit(const QString& unit);
  // Fits the columns to the list's width, the vertical scroll bar's room kept free whether it
  // shows or not: no horizontal scroll bar comes with more rows, and every heading is whole.
  void FitColumns();

 Q_SIGNALS:
  // Local files and folders were dropped on the list.
  void PathsDropped(const QStringList& paths);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void updateGeometries() override;

 private:
  void SyncSelectionFromCore();
  void OnViewSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
  bool TakesDrop(const QMimeData* mime) const;
  // A drag entering or moving over the list: a copy where the list takes it, else refused.
  void AnswerDrag(QDragMoveEvent* event) const;

  SourceList& m_list;
  SourceListModel* m_model;
  bool m_syncing = false;
  std::function<bool()> m_acceptsDrops;
  QString m_tracedGeometry;  // the last "list ..." trace line written
};

}  // namespace qv
