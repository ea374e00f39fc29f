// The controls of a page as plain state (texts, enabled and shown flags, check boxes, combo items), so that
// page controllers run the same with a GUI, the command line or a test behind them.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tessary {

struct ControlState {
  std::string text;
  bool enabled = true;
  bool shown = true;
  bool checked = false;
  std::vector<std::string> items;  // combo box or list box entries
  int selection = -1;              // selected entry, -1 for none
};

class PageView {
 public:
  void setText(const std::string& id, const std::string& text);
  std::string text(const std::string& id) const;
  void setEnabled(const std::string& id, bool enabled);
  bool enabled(const std::string& id) const;
  void setShown(const std::string& id, bool shown);
  bool shown(const std::string& id) const;
  void setChecked(const std::string& id, bool checked);
  bool checked(const std::string& id) const;
  void setItems(const std::string& id, std::vector<std::string> items);
  std::vector<std::string> items(const std::string& id) const;
  void setSelection(const std::string& id, int index);
  int selection(const std::string& id) const;
  ControlState state(const std::string& id) const;

  // Called after every change with the control's id; a GUI mirrors the change into its widget.
  void setObserver(std::function<void(const std::string&)> observer);

 private:
  template <typename F>
  void change(const std::string& id, F&& apply);

  mutable std::mutex m_mutex;
  std::map<std::string, ControlState> m_controls;
  std::function<void(const std::string&)> m_observer;
};

}  // namespace tessary
