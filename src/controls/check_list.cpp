// The detail list model and its header check box.
#include "controls/check_list.h"

#include <algorithm>

namespace tessary {

void CCheckListCtrl::setColumns(std::vector<std::string> titles) {
  {
    std::lock_guard lock(m_mutex);
    m_columns = std::move(titles);
  }
  changed();
}

std::vector<std::string> CCheckListCtrl::columns() const {
  std::lock_guard lock(m_mutex);
  return m_columns;
}

std::size_t CCheckListCtrl::insertRow(std::size_t index, std::vector<std::string> texts, std::int64_t data) {
  std::size_t at = 0;
  {
    std::lock_guard lock(m_mutex);
    at = std::min(index, m_rows.size());
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(at), Row{std::move(texts), data, 1});
    updateHeader();
  }
  changed();
  return at;
}

std::size_t CCheckListCtrl::appendRow(std::vector<std::string> texts, std::int64_t data) {
  return insertRow(rowCount(), std::move(texts), data);
}

void CCheckListCtrl::deleteAllRows() {
  {
    std::lock_guard lock(m_mutex);
    m_rows.clear();
    m_selection = -1;
    updateHeader();
  }
  changed();
}

std::size_t CCheckListCtrl::rowCount() const {
  std::lock_guard lock(m_mutex);
  return m_rows.size();
}

CCheckListCtrl::Row CCheckListCtrl::row(std::size_t index) const {
  std::lock_guard lock(m_mutex);
  return index < m_rows.size() ? m_rows[index] : Row{};
}

std::vector<CCheckListCtrl::Row> CCheckListCtrl::rows() const {
  std::lock_guard lock(m_mutex);
  return m_rows;
}

bool CCheckListCtrl::rowChecked(std::size_t index) const {
  std::lock_guard lock(m_mutex);
  return index < m_rows.size() && m_rows[index].checkImage == 2;
}

void CCheckListCtrl::setRowChecked(std::size_t index, bool checked) {
  {
    std::lock_guard lock(m_mutex);
    if (index >= m_rows.size()) return;
    m_rows[index].checkImage = checked ? 2 : 1;
    updateHeader();
  }
  changed();
}

void CCheckListCtrl::clickRowCheckBox(std::size_t index) {
  bool state = false;
  {
    std::lock_guard lock(m_mutex);
    if (!m_enabled || index >= m_rows.size()) return;
    state = m_rows[index].checkImage != 2;
    m_rows[index].checkImage = state ? 2 : 1;
    updateHeader();
  }
  if (onRowCheckClicked) onRowCheckClicked(index, state);
  changed();
}

void CCheckListCtrl::clickHeaderCheckBox() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_enabled) return;
    m_header = m_header == 2 ? 1 : 2;
    for (auto& r : m_rows) r.checkImage = m_header;
  }
  changed();
}

int CCheckListCtrl::headerImage() const {
  std::lock_guard lock(m_mutex);
  return m_header;
}

void CCheckListCtrl::setSelection(int index) {
  std::lock_guard lock(m_mutex);
  m_selection = (index >= 0 && static_cast<std::size_t>(index) < m_rows.size()) ? index : -1;
}

int CCheckListCtrl::selection() const {
  std::lock_guard lock(m_mutex);
  return m_selection;
}

void CCheckListCtrl::setEnabled(bool enabled) {
  {
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
  }
  changed();
}

bool CCheckListCtrl::enabled() const {
  std::lock_guard lock(m_mutex);
  return m_enabled;
}

void CCheckListCtrl::updateHeader() {
  // The header shows unchecked while any row is unchecked, checked otherwise (also for an empty list).
  const bool anyUnchecked = std::any_of(m_rows.begin(), m_rows.end(), [](const Row& r) { return r.checkImage == 1; });
  m_header = anyUnchecked ? 1 : 2;
}

void CCheckListCtrl::changed() {
  if (onChanged) onChanged();
}

}  // namespace tessary
