// Plain control state of a page.
#include "platform/page_view.h"

namespace tessary {

template <typename F>
void PageView::change(const std::string& id, F&& apply) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard lock(m_mutex);
    apply(m_controls[id]);
    observer = m_observer;
  }
  if (observer) observer(id);
}

void PageView::setText(const std::string& id, const std::string& text) {
  change(id, [&](ControlState& c) { c.text = text; });
}

std::string PageView::text(const std::string& id) const { return state(id).text; }

void PageView::setEnabled(const std::string& id, bool enabled) {
  change(id, [&](ControlState& c) { c.enabled = enabled; });
}

bool PageView::enabled(const std::string& id) const { return state(id).enabled; }

void PageView::setShown(const std::string& id, bool shown) {
  change(id, [&](ControlState& c) { c.shown = shown; });
}

bool PageView::shown(const std::string& id) const { return state(id).shown; }

void PageView::setChecked(const std::string& id, bool checked) {
  change(id, [&](ControlState& c) { c.checked = checked; });
}

bool PageView::checked(const std::string& id) const { return state(id).checked; }

void PageView::setItems(const std::string& id, std::vector<std::string> items) {
  change(id, [&](ControlState& c) {
    c.items = std::move(items);
    if (c.selection >= static_cast<int>(c.items.size())) c.selection = -1;
  });
}

std::vector<std::string> PageView::items(const std::string& id) const { return state(id).items; }

void PageView::setSelection(const std::string& id, int index) {
  change(id, [&](ControlState& c) { c.selection = (index >= 0 && index < static_cast<int>(c.items.size())) ? index : -1; });
}

int PageView::selection(const std::string& id) const { return state(id).selection; }

ControlState PageView::state(const std::string& id) const {
  std::lock_guard lock(m_mutex);
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? ControlState{} : it->second;
}

void PageView::setObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(m_mutex);
  m_observer = std::move(observer);
}

}  // namespace tessary
