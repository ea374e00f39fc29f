// The volume list adapter.
#include "ui/volume_list_model.h"

namespace tessary::ui {

VolumeListModel::VolumeListModel(PopulateDriveDlg& page) : m_page(page) { refresh(); }

void VolumeListModel::scheduleRefresh() {
  if (m_refreshQueued.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { refresh(); }, Qt::QueuedConnection);
}

void VolumeListModel::refresh() {
  m_refreshQueued = false;
  beginResetModel();
  m_rows = m_page.rows();
  endResetModel();
  emit refreshed();
}

int VolumeListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int VolumeListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(PopulateDriveDlg::kColumns.size());
}

QVariant VolumeListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const auto& row = m_rows[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) {
    const std::string* texts[] = {&row.volume, &row.fileSystem, &row.volumeSize, &row.startSector};
    return QString::fromStdString(*texts[index.column()]);
  }
  if (role == Qt::CheckStateRole && index.column() == 0) return row.checked ? Qt::Checked : Qt::Unchecked;
  return {};
}

bool VolumeListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0) return false;
  m_page.onRowChecked(index.row(), value.toInt() == Qt::Checked);
  return true;
}

Qt::ItemFlags VolumeListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == 0) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant VolumeListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount()) return {};
  return QString::fromUtf8(PopulateDriveDlg::kColumns[static_cast<std::size_t>(section)]);
}

}  // namespace tessary::ui
