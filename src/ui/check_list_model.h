// The detail list for Qt's views: a table model over CCheckListCtrl with a check box on each row and one
// in the first column's header. Like the tree adapter it keeps its own copy of the rows and refreshes it
// on the UI thread when the list reports a change.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include <QAbstractTableModel>
#include <QIcon>

#include "controls/check_list.h"

namespace tessary::ui {

class ThemeIcons;

class CheckListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  CheckListModel(CCheckListCtrl& list, ThemeIcons& icons);

  // Whether a row's entry is deleted (drawn red); given the row's data.
  void setDeletedTest(std::function<bool(std::int64_t)> deleted) { m_deletedTest = std::move(deleted); }
  // The header's check box images (unchecked, checked).
  void setHeaderIcons(QIcon unchecked, QIcon checked);

  void scheduleRefresh();
  void refresh();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // A row's check box set from a view is a click on it (which ticks or clears its tree item).
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 signals:
  void enabledChanged(bool enabled);

 private:
  CCheckListCtrl& m_list;
  ThemeIcons& m_icons;
  std::function<bool(std::int64_t)> m_deletedTest;
  QIcon m_headerUnchecked;
  QIcon m_headerChecked;
  std::vector<std::string> m_columns;
  std::vector<CCheckListCtrl::Row> m_rows;
  std::vector<bool> m_deleted;
  int m_header = kRowChecked;
  bool m_enabled = true;
  std::atomic<bool> m_refreshQueued{false};

  static constexpr int kRowChecked = 2;
};

}  // namespace tessary::ui
