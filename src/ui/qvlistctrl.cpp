#include "ui/qvlistctrl.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QPalette>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QUrl>

#include "ui/windowtrace.h"

namespace qv {

SourceListModel::SourceListModel(SourceList& list, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_shownRows(list.RowCount()) {
  for (int c = 0; c < kColumnCount; ++c) m_headings.append(QString());
  m_showTimer.setSingleShot(true);
  m_showTimer.setInterval(100);
  connect(&m_showTimer, &QTimer::timeout, this, &SourceListModel::ShowAppendedRows);
  m_list.SetObserver(this);
}

SourceListModel::~SourceListModel() { m_list.SetObserver(nullptr); }

int SourceListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_shownRows;
}

int SourceListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

namespace {

// A marked row's colours: amber for an output left partial, a paler yellow for a converted one
// the log notes something of.
QColor MarkBackground(QVListItem::Mark mark) {
  return mark == QVListItem::Mark::Partial ? QColor(0xff, 0xd8, 0xa8) : QColor(0xff, 0xf3, 0xb8);
}

Qt::Alignment ColumnAlign(int column) {
  return (kColumns[column].alignment == ColumnAlignment::Center ? Qt::AlignHCenter
                                                                : Qt::AlignLeft) |
         Qt::AlignVCenter;
}
}  // namespace

QVariant SourceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() >= kColumnCount) return {};
  if (role == Qt::DisplayRole) {
    return QString::fromStdString(m_list.CellText(index.row(), index.column()));
  }
  const QVListItem* item = role == Qt::BackgroundRole || role == Qt::ToolTipRole
                               ? m_list.Item(index.row())
                               : nullptr;
  const bool marked = item && item->mark != QVListItem::Mark::None;
  if (role == Qt::BackgroundRole && marked) return MarkBackground(item->mark);
  if (role == Qt::ToolTipRole && (marked || index.column() == kColTitle)) {
    QString tip = QString::fromStdString(m_list.GetSourcePath(index.row()));
    if (marked) tip += QStringLiteral("\n") + QString::fromStdString(item->markNote);
    return tip;
  }
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(ColumnAlign(index.column()));
  return {};
}

QVariant SourceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return Heading(section);
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(ColumnAlign(section));
  return {};
}

QString SourceListModel::Heading(int column) const {
  if (column < 0 || column >= kColumnCount) return {};
  const QString& shown = m_headings[column];
  return shown.isEmpty() ? QString::fromLatin1(kColumns[column].heading) : shown;
}

void SourceListModel::SetHeading(int column, const QString& text) {
  if (column < 0 || column >= kColumnCount || m_headings[column] == text) return;
  m_headings[column] = text;
  Q_EMIT headerDataChanged(Qt::Horizontal, column, column);
}

void SourceListModel::SetBatchedInserts(bool on) {
  m_batchedInserts = on;
  if (!on) ShowAppendedRows();
}

void SourceListModel::ShowAppendedRows() {
  m_showTimer.stop();
  const int rows = m_list.RowCount();
  if (m_shownRows >= rows) return;
  beginInsertRows({}, m_shownRows, rows - 1);
  m_shownRows = rows;
  endInsertRows();
}

void SourceListModel::BeginInsertRow(int row) {
  if (!m_batchedInserts) beginInsertRows({}, row, row);
}
void SourceListModel::EndInsertRow() {
  if (m_batchedInserts) {
    if (!m_showTimer.isActive()) m_showTimer.start();
    return;
  }
  m_shownRows = m_list.RowCount();
  endInsertRows();
}
void SourceListModel::BeginRemoveRows(int first, int last) {
  ShowAppendedRows();
  beginRemoveRows({}, first, last);
}
void SourceListModel::EndRemoveRows() {
  m_shownRows = m_list.RowCount();
  endRemoveRows();
  Q_EMIT CoreSelectionNeedsSync();
}
void SourceListModel::BeginReset() {
  m_showTimer.stop();
  beginResetModel();
}
void SourceListModel::EndReset() {
  m_shownRows = m_list.RowCount();
  endResetModel();
  Q_EMIT CoreSelectionNeedsSync();
}
void SourceListModel::BeginReorder() {
  ShowAppendedRows();
  Q_EMIT layoutAboutToBeChanged();
}

void SourceListModel::EndReorder(const std::vector<int>& newIndexOfOld) {
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& index : from) {
    const auto old = static_cast<std::size_t>(index.row());
    to.append(old < newIndexOfOld.size() ? createIndex(newIndexOfOld[old], index.column())
                                         : QModelIndex());
  }
  changePersistentIndexList(from, to);
  Q_EMIT layoutChanged();
  Q_EMIT CoreSelectionNeedsSync();
}

void SourceListModel::CellChanged(int row, int column) {
  if (row >= m_shownRows) return;  // the view reads it when the row is shown
  const QModelIndex cell = index(row, column);
  Q_EMIT dataChanged(cell, cell, {Qt::DisplayRole});
}

void SourceListModel::SelectionChanged(int row, bool selected) {
  if (row >= m_shownRows) ShowAppendedRows();
  Q_EMIT CoreSelectionChanged(row, selected);
}

QVListCtrl::QVListCtrl(SourceList& list, QWidget* parent)
    : QTreeView(parent), m_list(list), m_model(new SourceListModel(list, this)) {
  setModel(m_model);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSortingEnabled(false);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  QHeaderView* heading = header();
  heading->setSectionsClickable(true);
  heading->setSortIndicatorShown(false);
  heading->setStretchLastSection(false);
  heading->setSectionsMovable(false);
  heading->setHighlightSections(false);
  for (int c = 0; c < kColumnCount; ++c) heading->resizeSection(c, kColumns[c].width);
  connect(heading, &QHeaderView::sectionClicked, this, &QVListCtrl::OnColumnClick);

  // The selection stays visible when the list loses the focus.
  QPalette colours = palette();
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
    colours.setColor(QPalette::Inactive, role, colours.color(QPalette::Active, role));
  }
  setPalette(colours);

  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &QVListCtrl::OnViewSelectionChanged);
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDropIndicatorShown(false);
  connect(m_model, &SourceListModel::CoreSelectionChanged, this, [this](int row, bool on) {
    if (m_syncing) return;
    m_syncing = true;
    selectionModel()->select(m_model->index(row, 0), (on ? QItemSelectionModel::Select
                                                         : QItemSelectionModel::Deselect) |
                                                         QItemSelectionModel::Rows);
    m_syncing = false;
  });
  connect(m_model, &SourceListModel::CoreSelectionNeedsSync, this,
          &QVListCtrl::SyncSelectionFromCore);
}

void QVListCtrl::SetVolumeUnit(const QString& unit) {
  m_model->SetHeading(kColVolume, QStringLiteral("Volume (%1)").arg(unit));
  FitColumns();
}

void QVListCtrl::FitColumns() {
  QHeaderView* heading = header();
  const QFontMetrics metrics = heading->fontMetrics();
  // A heading's text and its margins, and on the sorted column room for the arrow.
  const int padding = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, heading) + 4;
  const int arrow = style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, heading);
  const int sorted = heading->isSortIndicatorShown() ? heading->sortIndicatorSection() : -1;
  std::vector<int> preferred, minimum;
  for (int c = 0; c < kColumnCount; ++c) {
    preferred.push_back(kColumns[c].width);
    minimum.push_back(metrics.horizontalAdvance(m_model->Heading(c)) + padding +
                      (c == sorted ? arrow : 0));
  }
  const int available = width() - 2 * frameWidth() -
                        style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
  const std::vector<int> widths = FitColumnWidths(preferred, minimum, available, 120);
  for (int c = 0; c < kColumnCount; ++c) heading->resizeSection(c, widths[c]);
}

void QVListCtrl::resizeEvent(QResizeEvent* event) {
  QTreeView::resizeEvent(event);
  if (event->size().width() != event->oldSize().width()) FitColumns();
}

void QVListCtrl::updateGeometries() {
  QTreeView::updateGeometries();
  if (!WindowTraceEnabled()) return;
  // For the desktop test: the headings' width against the room the list has for them.
  const QString line = QStringLiteral("list headings %1 of %2 wide, horizontal scroll bar %3")
                           .arg(header()->length())
                           .arg(viewport()->width())
                           .arg(horizontalScrollBar()->isVisible() ? QStringLiteral("shown")
                                                                   : QStringLiteral("hidden"));
  if (line == m_tracedGeometry) return;
  m_tracedGeometry = line;
  TraceLine(line.toStdString());
}

void QVListCtrl::OnColumnClick(int column) {
  m_list.OnColumnClick(column);
  // The heading shows the list's own order: an arrow on the sorted column, none when the
  // third click has put the rows back in the order they were added.
  const SortState state = m_list.GetSortState();
  header()->setSortIndicatorShown(state != SortState::Unsorted);
  header()->setSortIndicator(m_list.SortColumn(), state == SortState::Descending
                                                      ? Qt::DescendingOrder
                                                      : Qt::AscendingOrder);
  FitColumns();
}

void QVListCtrl::SyncSelectionFromCore() {
  if (m_syncing) return;
  m_syncing = true;
  QItemSelection selection;
  for (int row = 0; row < m_list.RowCount(); ++row) {
    if (m_list.IsSelected(row)) selection.select(m_model->index(row, 0), m_model->index(row, 0));
  }
  selectionModel()->select(selection,
                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  m_syncing = false;
}

void QVListCtrl::OnViewSelectionChanged(const QItemSelection& selected,
                                        const QItemSelection& deselected) {
  if (m_syncing) return;
  m_syncing = true;
  // Only the rows whose state changed are visited.
  for (const QItemSelectionRange& range : deselected) {
    for (int row = range.top(); row <= range.bottom(); ++row) {
      m_list.SelectRow(row, selectionModel()->isRowSelected(row, {}));
    }
  }
  for (const QItemSelectionRange& range : selected) {
    for (int row = range.top(); row <= range.bottom(); ++row) m_list.SelectRow(row, true);
  }
  m_syncing = false;
}

QStringList QVListCtrl::DroppedPaths(const QMimeData* mime) {
  QStringList paths;
  if (!mime || !mime->hasUrls()) return paths;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile() && !url.toLocalFile().isEmpty()) paths.append(url.toLocalFile());
  }
  return paths;
}

bool QVListCtrl::TakesDrop(const QMimeData* mime) const {
  if (!isEnabled() || (m_acceptsDrops && !m_acceptsDrops())) return false;
  return !DroppedPaths(mime).isEmpty();
}

void QVListCtrl::AnswerDrag(QDragMoveEvent* event) const {
  if (TakesDrop(event->mimeData())) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void QVListCtrl::dragEnterEvent(QDragEnterEvent* event) { AnswerDrag(event); }

void QVListCtrl::dragMoveEvent(QDragMoveEvent* event) { AnswerDrag(event); }

void QVListCtrl::dropEvent(QDropEvent* event) {
  if (!TakesDrop(event->mimeData())) {
    event->ignore();
    return;
  }
  // Copied before the event is accepted: the add runs after the drag has finished.
  const QStringList paths = DroppedPaths(event->mimeData());
  event->setDropAction(Qt::CopyAction);
  event->accept();
  Q_EMIT PathsDropped(paths);
}

}  // namespace qv
