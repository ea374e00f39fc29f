// The results tree's view.
#include "ui/check_tree_view.h"

#include <vector>

#include <QKeyEvent>
#include <QMouseEvent>

#include "ui/check_tree_model.h"

namespace tessary::ui {

CheckTreeView::CheckTreeView(CheckTreeModel& model, CXHtmlTree& tree) : m_model(model), m_tree(tree) {
  setModel(&m_model);
  setItemDelegate(&m_delegate);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  // A double click is the tree's own (it opens a folder or dumps a file).
  setExpandsOnDoubleClick(false);
  setUniformRowHeights(true);
  connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) {
    if (!m_following) m_tree.expand(m_model.item(index), true);
  });
  connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
    if (!m_following) m_tree.expand(m_model.item(index), false);
  });
  connect(&m_model, &CheckTreeModel::refreshed, this, &CheckTreeView::followTree);
}

CheckTreeView::~CheckTreeView() { setModel(nullptr); }

void CheckTreeView::followTree() {
  m_following = true;
  std::vector<QModelIndex> pending{QModelIndex()};
  while (!pending.empty()) {
    const QModelIndex parent = pending.back();
    pending.pop_back();
    const int rows = m_model.rowCount(parent);
    for (int row = 0; row < rows; ++row) {
      const QModelIndex child = m_model.index(row, 0, parent);
      if (!m_model.hasChildren(child)) continue;
      const bool open = m_tree.isExpanded(m_model.item(child));
      if (isExpanded(child) != open) setExpanded(child, open);
      pending.push_back(child);
    }
  }
  const QModelIndex selected = m_model.indexOf(m_tree.selectedItem());
  if (selected.isValid() && selectionModel() && currentIndex() != selected)
    selectionModel()->setCurrentIndex(selected, QItemSelectionModel::ClearAndSelect);
  m_following = false;
}

QStyleOptionViewItem CheckTreeView::optionFor(const QModelIndex& index) const {
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = visualRect(index);
  m_delegate.layoutOf(option, index);
  return option;
}

QRect CheckTreeView::checkRect(const QModelIndex& index) const {
  const QStyleOptionViewItem option = optionFor(index);
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

QRect CheckTreeView::labelRect(const QModelIndex& index) const {
  const QStyleOptionViewItem option = optionFor(index);
  return style()->subElementRect(QStyle::SE_ItemViewItemText, &option, this);
}

void CheckTreeView::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  const QModelIndex index = indexAt(at);
  m_checkPressed = QPersistentModelIndex();
  // A press on a check box neither selects nor opens: the release toggles it, as the tree's click does.
  if (event->button() == Qt::LeftButton && index.isValid() && checkRect(index).contains(at)) {
    m_checkPressed = index;
    event->accept();
    return;
  }
  QTreeView::mousePressEvent(event);
}

void CheckTreeView::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  const QModelIndex index = indexAt(at);
  if (m_checkPressed.isValid()) {
    if (index == m_checkPressed && checkRect(index).contains(at)) m_tree.clickCheckBox(m_model.item(index));
    m_checkPressed = QPersistentModelIndex();
    m_model.scheduleRefresh();
    event->accept();
    return;
  }
  QTreeView::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && index.isValid() && labelRect(index).contains(at))
    m_tree.clickLabel(m_model.item(index), kHitOnItemLabel);
  followTree();
}

void CheckTreeView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() != Qt::LeftButton || !index.isValid()) {
    QTreeView::mouseDoubleClickEvent(event);
    return;
  }
  event->accept();
  m_tree.doubleClick(m_model.item(index));
}

void CheckTreeView::keyPressEvent(QKeyEvent* event) {
  const QModelIndex before = currentIndex();
  if (before.isValid() && (event->key() == Qt::Key_Space || event->key() == Qt::Key_Select)) {
    m_tree.clickCheckBox(m_model.item(before));
    m_model.scheduleRefresh();
    event->accept();
    return;
  }
  if (before.isValid() && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    m_tree.doubleClick(m_model.item(before));
    event->accept();
    return;
  }
  QTreeView::keyPressEvent(event);
  // Moving through the tree with the keys lists the folder reached, as clicking its label does.
  const QModelIndex now = currentIndex();
  if (now.isValid() && now != before && !m_following) m_tree.clickLabel(m_model.item(now), kHitOnItemLabel);
}

}  // namespace tessary::ui
