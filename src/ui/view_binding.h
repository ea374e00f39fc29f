// Binds a page's PageView ids to its widgets: enabled and shown states, texts, ticks, combo items and
// selection follow the view (changes made on worker threads are applied on the UI thread), and what the
// user types, ticks or picks is written back into the view.
#pragma once

#include <map>
#include <string>

#include <QObject>
#include <QPointer>

#include "platform/page_view.h"

class QAbstractButton;
class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace tessary::ui {

class ViewBinding : public QObject {
  Q_OBJECT

 public:
  explicit ViewBinding(PageView& view);
  // Removes the observer; the page makes sure no worker changes the view any more.
  ~ViewBinding() override;
  ViewBinding(const ViewBinding&) = delete;
  ViewBinding& operator=(const ViewBinding&) = delete;

  // Enabled and shown only (labels of a field, group boxes, progress bars).
  void bindWidget(const std::string& id, QWidget& widget);
  // Text, both ways. With `readOnlyWhenDisabled` a disabled field stays readable and selectable.
  void bindField(const std::string& id, QLineEdit& field, bool readOnlyWhenDisabled = false);
  // Text shown by a label (a status-like value, a path).
  void bindLabel(const std::string& id, QLabel& label);
  // Enabled, shown, and for a check box or radio button its tick, both ways.
  void bindButton(const std::string& id, QAbstractButton& button);
  // Items and selection; the user's pick is written back.
  void bindCombo(const std::string& id, QComboBox& combo);

  // Mirrors every bound id now (after the controller's opening).
  void applyAll();

 private:
  enum class Kind { Widget, Field, ReadOnlyField, Label, Button, Combo };
  struct Binding {
    Kind kind;
    QPointer<QWidget> widget;
  };
  void add(const std::string& id, Kind kind, QWidget& widget);
  void apply(const std::string& id);
  void applyTo(const ControlState& state, const Binding& binding);

  PageView& m_view;
  std::multimap<std::string, Binding> m_bindings;
};

}  // namespace tessary::ui
