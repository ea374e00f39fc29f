// The volume list's rows for a Qt table: the four columns and each row's check box, copied from the page
// controller whenever it reports that its rows changed (also from the advanced scan's worker).
#pragma once

#include <atomic>
#include <vector>

#include <QAbstractTableModel>

#include "volumes/populate_drive_dlg.h"

namespace tessary::ui {

class VolumeListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit VolumeListModel(PopulateDriveDlg& page);

  void scheduleRefresh();
  void refresh();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 signals:
  void refreshed();

 private:
  PopulateDriveDlg& m_page;
  std::vector<PopulateDriveDlg::ListRow> m_rows;
  std::atomic<bool> m_refreshQueued{false};
};

}  // namespace tessary::ui
