// The detail list adapter.
#include "ui/check_list_model.h"

#include <QColor>

#include "ui/theme_icons.h"

namespace tessary::ui {

CheckListModel::CheckListModel(CCheckListCtrl& list, ThemeIcons& icons) : m_list(list), m_icons(icons) { refresh(); }

void CheckListModel::setHeaderIcons(QIcon unchecked, QIcon checked) {
  m_headerUnchecked = std::move(unchecked);
  m_headerChecked = std::move(checked);
  emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void CheckListModel::scheduleRefresh() {
  if (m_refreshQueued.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { refresh(); }, Qt::QueuedConnection);
}

void CheckListModel::refresh() {
  m_refreshQueued = false;
  std::vector<std::string> columns = m_list.columns();
  std::vector<CCheckListCtrl::Row> rows = m_list.rows();
  std::vector<bool> deleted;
  deleted.reserve(rows.size());
  for (const auto& row : rows) deleted.push_back(m_deletedTest && m_deletedTest(row.data));
  const int header = m_list.headerImage();
  const bool enabled = m_list.enabled();

  bool sameRows = columns == m_columns && rows.size() == m_rows.size() && deleted == m_deleted;
  for (std::size_t i = 0; sameRows && i < rows.size(); ++i)
    sameRows = rows[i].texts == m_rows[i].texts && rows[i].data == m_rows[i].data;
  if (!sameRows) {
    beginResetModel();
    m_columns = std::move(columns);
    m_rows = std::move(rows);
    m_deleted = std::move(deleted);
    endResetModel();
  } else {
    // The same rows: only ticks changed, reported as one range.
    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].checkImage == m_rows[i].checkImage) continue;
      m_rows[i].checkImage = rows[i].checkImage;
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
    if (first >= 0) emit dataChanged(index(first, 0), index(last, 0), {Qt::CheckStateRole});
  }
  if (header != m_header) {
    m_header = header;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
  }
  if (enabled != m_enabled) {
    m_enabled = enabled;
    emit enabledChanged(enabled);
  }
}

int CheckListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CheckListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant CheckListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const auto& row = m_rows[static_cast<std::size_t>(index.row())];
  const auto column = static_cast<std::size_t>(index.column());
  const QString text = column < row.texts.size() ? QString::fromStdString(row.texts[column]) : QString();
  switch (role) {
    case Qt::DisplayRole:
      return text;
    case Qt::DecorationRole:
      if (column != 0) return {};
      return m_deleted[static_cast<std::size_t>(index.row())] ? m_icons.deleted(m_icons.file(text)) : m_icons.file(text);
    case Qt::ToolTipRole:
      return column == 0 && m_deleted[static_cast<std::size_t>(index.row())] ? QVariant(QStringLiteral("deleted")) : QVariant();
    case Qt::CheckStateRole:
      if (column != 0) return {};
      return row.checkImage == kRowChecked ? Qt::Checked : Qt::Unchecked;
    case Qt::ForegroundRole:
      return m_deleted[static_cast<std::size_t>(index.row())] ? QVariant(QColor(255, 0, 0)) : QVariant();
    default:
      return {};
  }
}

bool CheckListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0 || index.row() >= rowCount()) return false;
  const bool wanted = value.toInt() == Qt::Checked;
  const auto row = static_cast<std::size_t>(index.row());
  if (wanted != (m_rows[row].checkImage == kRowChecked)) m_list.clickRowCheckBox(row);
  scheduleRefresh();
  return true;
}

Qt::ItemFlags CheckListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == 0) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant CheckListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (role == Qt::DisplayRole) return QString::fromStdString(m_columns[static_cast<std::size_t>(section)]);
  if (role == Qt::DecorationRole && section == 0) return m_header == kRowChecked ? m_headerChecked : m_headerUnchecked;
  return {};
}

}  // namespace tessary::ui
