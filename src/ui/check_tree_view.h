// The results tree's view: turns the user's clicks into the tree's own actions (a click on a check box,
// a click on a label, a double click, opening and closing) and shows the tree's expansion and selection.
#pragma once

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>
#include <QTreeView>

#include "controls/xhtml_tree.h"

namespace tessary::ui {

class CheckTreeModel;

class CheckTreeView : public QTreeView {
  Q_OBJECT

 public:
  CheckTreeView(CheckTreeModel& model, CXHtmlTree& tree);
  ~CheckTreeView() override;

  // Opens and closes items and selects the item as the tree has them.
  void followTree();

  // Hit-test flags sent with a label click.
  static constexpr std::uint32_t kHitOnItemLabel = 0x0004;

  // Where an item's check box and label are drawn, in viewport coordinates.
  QRect checkRect(const QModelIndex& index) const;
  QRect labelRect(const QModelIndex& index) const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // The delegate's layout of an item, to tell the check box from the label.
  class Delegate : public QStyledItemDelegate {
   public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void layoutOf(QStyleOptionViewItem& option, const QModelIndex& index) const { initStyleOption(&option, index); }
  };
  QStyleOptionViewItem optionFor(const QModelIndex& index) const;

  CheckTreeModel& m_model;
  CXHtmlTree& m_tree;
  Delegate m_delegate;
  QPersistentModelIndex m_checkPressed;
  bool m_following = false;
};

}  // namespace tessary::ui
