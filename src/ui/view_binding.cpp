// Mirrors PageView state into widgets and the user's input back into the view.
#include "ui/view_binding.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QThread>

namespace tessary::ui {

ViewBinding::ViewBinding(PageView& view) : m_view(view) {
  m_view.setObserver([this](const std::string& id) {
    if (QThread::currentThread() == thread()) {
      apply(id);
    } else {
      // The widget reads the view's state when the UI thread gets to it, so only the id travels.
      QMetaObject::invokeMethod(this, [this, id] { apply(id); }, Qt::QueuedConnection);
    }
  });
}

ViewBinding::~ViewBinding() { m_view.setObserver({}); }

void ViewBinding::add(const std::string& id, Kind kind, QWidget& widget) {
  m_bindings.emplace(id, Binding{kind, QPointer<QWidget>(&widget)});
  apply(id);
}

void ViewBinding::bindWidget(const std::string& id, QWidget& widget) { add(id, Kind::Widget, widget); }

void ViewBinding::bindField(const std::string& id, QLineEdit& field, bool readOnlyWhenDisabled) {
  connect(&field, &QLineEdit::textEdited, this, [this, id](const QString& text) { m_view.setText(id, text.toStdString()); });
  add(id, readOnlyWhenDisabled ? Kind::ReadOnlyField : Kind::Field, field);
}

void ViewBinding::bindLabel(const std::string& id, QLabel& label) { add(id, Kind::Label, label); }

void ViewBinding::bindButton(const std::string& id, QAbstractButton& button) {
  // Connected before the page's own handler, so the controller sees the tick the user gave.
  if (button.isCheckable())
    connect(&button, &QAbstractButton::clicked, this, [this, id](bool checked) { m_view.setChecked(id, checked); });
  add(id, Kind::Button, button);
}

void ViewBinding::bindCombo(const std::string& id, QComboBox& combo) {
  connect(&combo, &QComboBox::activated, this, [this, id](int index) { m_view.setSelection(id, index); });
  add(id, Kind::Combo, combo);
}

void ViewBinding::applyAll() {
  for (auto it = m_bindings.begin(); it != m_bindings.end(); it = m_bindings.upper_bound(it->first)) apply(it->first);
}

void ViewBinding::apply(const std::string& id) {
  const auto [first, last] = m_bindings.equal_range(id);
  if (first == last) return;
  const ControlState state = m_view.state(id);
  for (auto it = first; it != last; ++it) applyTo(state, it->second);
}

void ViewBinding::applyTo(const ControlState& state, const Binding& binding) {
  QWidget* widget = binding.widget.data();
  if (!widget) return;
  widget->setHidden(!state.shown);
  const QString text = QString::fromStdString(state.text);
  switch (binding.kind) {
    case Kind::Widget:
      widget->setEnabled(state.enabled);
      break;
    case Kind::Field:
    case Kind::ReadOnlyField: {
      auto* field = static_cast<QLineEdit*>(widget);
      if (binding.kind == Kind::ReadOnlyField) {
        field->setReadOnly(!state.enabled);
      } else {
        field->setEnabled(state.enabled);
      }
      if (field->text() != text) field->setText(text);
      break;
    }
    case Kind::Label: {
      auto* label = static_cast<QLabel*>(widget);
      label->setEnabled(state.enabled);
      if (label->text() != text) label->setText(text);
      break;
    }
    case Kind::Button: {
      auto* button = static_cast<QAbstractButton*>(widget);
      button->setEnabled(state.enabled);
      if (button->isCheckable() && button->isChecked() != state.checked) button->setChecked(state.checked);
      break;
    }
    case Kind::Combo: {
      auto* combo = static_cast<QComboBox*>(widget);
      combo->setEnabled(state.enabled);
      QStringList items;
      for (const std::string& item : state.items) items << QString::fromStdString(item);
      QStringList shown;
      for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
      if (shown != items) {
        combo->clear();
        combo->addItems(items);
      }
      if (combo->currentIndex() != state.selection) combo->setCurrentIndex(state.selection);
      break;
    }
  }
}

}  // namespace tessary::ui
