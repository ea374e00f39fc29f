// CCheckListCtrl: the detail list as a model — rows with texts and a check box, and a header check box
// that ticks or clears every row.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tessary {

class CCheckListCtrl {
 public:
  struct Row {
    std::vector<std::string> texts;  // one per column
    std::int64_t data = 0;           // the row's item data (the tree item it stands for)
    int checkImage = 1;              // 1 unchecked, 2 checked
  };

  void setColumns(std::vector<std::string> titles);
  std::vector<std::string> columns() const;

  std::size_t insertRow(std::size_t index, std::vector<std::string> texts, std::int64_t data);
  std::size_t appendRow(std::vector<std::string> texts, std::int64_t data);
  void deleteAllRows();
  std::size_t rowCount() const;
  Row row(std::size_t index) const;
  std::vector<Row> rows() const;

  bool rowChecked(std::size_t index) const;
  // Sets a row's image without telling the page (as the tree's handlers do).
  void setRowChecked(std::size_t index, bool checked);
  // The user clicked a row's check box: toggles it and tells the page (onRowCheckClicked).
  void clickRowCheckBox(std::size_t index);
  // The user clicked the header's check box: toggles it and sets every row to its new state; the
  // rows' tree items are not touched.
  void clickHeaderCheckBox();
  int headerImage() const;

  void setSelection(int index);
  int selection() const;
  void setEnabled(bool enabled);
  bool enabled() const;

  std::function<void(std::size_t, bool)> onRowCheckClicked;
  std::function<void()> onChanged;

 private:
  void updateHeader();
  void changed();

  mutable std::recursive_mutex m_mutex;
  std::vector<std::string> m_columns;
  std::vector<Row> m_rows;
  int m_header = 2;
  int m_selection = -1;
  bool m_enabled = true;
};

}  // namespace tessary
