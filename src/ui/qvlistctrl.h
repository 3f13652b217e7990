#pragma once

#include <QAbstractTableModel>
#include <QTreeView>

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
  void BeginRemoveRow(int row) override;
  void EndRemoveRow() override;
  void BeginReset() override;
  void EndReset() override;
  void BeginReorder() override;
  void EndReorder(const std::vector<int>& newIndexOfOld) override;
  void CellChanged(int row, int column) override;
  void SelectionChanged(int row, bool selected) override;

 Q_SIGNALS:
  // The list's selection changed from the core (a batch selecting the row it converts).
  void CoreSelectionChanged(int row, bool selected);
  // Rows were removed, reordered or reset: the view should show the core's selection again.
  void CoreSelectionNeedsSync();

 private:
  SourceList& m_list;
};

// The source file list control: a report-style list with column headings, several rows
// selectable at once, the selection kept visible when the list loses the focus. Its selection
// and the core list's selection flags always agree. GUI thread.
class QVListCtrl : public QTreeView {
  Q_OBJECT

 public:
  explicit QVListCtrl(SourceList& list, QWidget* parent = nullptr);

  SourceList& List() { return m_list; }
  SourceListModel* ListModel() { return m_model; }
  // A click on the heading of `column`.
  void OnColumnClick(int column);

 private:
  void SyncSelectionFromCore();
  void OnViewSelectionChanged();

  SourceList& m_list;
  SourceListModel* m_model;
  bool m_syncing = false;
};

}  // namespace qv
