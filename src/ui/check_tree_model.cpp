// The tree adapter: a copy of the tree's shape, reconciled with the tree on every refresh.
#include "ui/check_tree_model.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

#include <QColor>

#include "results/save_engine.h"
#include "ui/theme_icons.h"

namespace tessary::ui {

namespace {

quintptr idOf(TreeItem item) { return static_cast<quintptr>(item); }
TreeItem itemOf(quintptr id) { return static_cast<TreeItem>(id); }

Qt::CheckState checkState(int displayed) {
  switch (displayed) {
    case kCheckChecked:
      return Qt::Checked;
    case kCheckPartial:
      return Qt::PartiallyChecked;
    default:
      return Qt::Unchecked;
  }
}

}  // namespace

bool CheckTreeModel::Node::sameLook(const Node& other) const {
  return text == other.text && icon == other.icon && state == other.state && enabled == other.enabled &&
         colour == other.colour && deleted == other.deleted;
}

CheckTreeModel::CheckTreeModel(CXHtmlTree& tree, ThemeIcons& icons) : m_tree(tree), m_icons(icons) {
  m_nodes.emplace(kTreeRoot, Node{});
  refresh();
}

void CheckTreeModel::scheduleRefresh() {
  if (m_refreshQueued.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { refresh(); }, Qt::QueuedConnection);
}

CheckTreeModel::Nodes CheckTreeModel::readTree() const {
  Nodes fresh;
  fresh.emplace(kTreeRoot, Node{});
  std::deque<TreeItem> pending{kTreeRoot};
  while (!pending.empty()) {
    const TreeItem parent = pending.front();
    pending.pop_front();
    std::vector<TreeItem> shown;
    bool placeholder = false;
    for (TreeItem child : m_tree.children(parent)) {
      if (fresh.count(child)) continue;  // the tree never links an item twice; a copy must not loop either
      const std::string text = m_tree.itemText(child);
      if (text == SaveEngine::kPlaceholder && !m_tree.hasChildren(child)) {
        placeholder = true;
        continue;
      }
      Node node;
      node.parent = parent;
      node.row = static_cast<int>(shown.size());
      node.text = QString::fromStdString(text);
      node.icon = m_tree.itemIcon(child);
      node.state = m_tree.displayedState(child);
      node.enabled = m_tree.isEnabled(child);
      node.colour = m_tree.textColour(child);
      node.deleted = m_tree.isDeletedItem(child);
      fresh.emplace(child, std::move(node));
      shown.push_back(child);
      pending.push_back(child);
    }
    Node& p = fresh.at(parent);
    p.children = std::move(shown);
    p.placeholder = placeholder;
  }
  return fresh;
}

void CheckTreeModel::refresh() {
  // Cleared before reading, so a change made while the tree is read queues the next refresh.
  m_refreshQueued = false;
  const Nodes fresh = readTree();
  bool buttonsChanged = false;
  std::vector<TreeItem> pending{kTreeRoot};
  while (!pending.empty()) {
    const TreeItem parent = pending.back();
    pending.pop_back();
    if (syncChildren(parent, fresh, pending)) buttonsChanged = true;
  }
  if (buttonsChanged) {
    // Views keep whether an item has an expand button from their last layout.
    emit layoutAboutToBeChanged();
    emit layoutChanged();
  }
  emit refreshed();
}

void CheckTreeModel::renumber(Node& parent, std::size_t from) {
  for (std::size_t i = from; i < parent.children.size(); ++i) m_nodes.at(parent.children[i]).row = static_cast<int>(i);
}

void CheckTreeModel::copySubtree(TreeItem item, const Nodes& fresh) {
  std::vector<TreeItem> pending{item};
  while (!pending.empty()) {
    const TreeItem at = pending.back();
    pending.pop_back();
    const Node& node = fresh.at(at);
    m_nodes[at] = node;
    pending.insert(pending.end(), node.children.begin(), node.children.end());
  }
}

void CheckTreeModel::eraseSubtree(TreeItem item) {
  std::vector<TreeItem> pending{item};
  while (!pending.empty()) {
    const TreeItem at = pending.back();
    pending.pop_back();
    const auto it = m_nodes.find(at);
    if (it == m_nodes.end()) continue;
    pending.insert(pending.end(), it->second.children.begin(), it->second.children.end());
    m_nodes.erase(it);
  }
}

bool CheckTreeModel::syncChildren(TreeItem parentItem, const Nodes& fresh, std::vector<TreeItem>& next) {
  // References into an unordered_map stay valid while other elements come and go.
  Node& mine = m_nodes.at(parentItem);
  const auto theirsAt = fresh.find(parentItem);
  if (theirsAt == fresh.end()) return false;
  const Node& theirs = theirsAt->second;
  const QModelIndex parentIndex = indexOfNode(parentItem, mine);

  // Removed children, in runs from the end so the rows before a run keep their numbers.
  const std::unordered_set<TreeItem> kept(theirs.children.begin(), theirs.children.end());
  for (int i = static_cast<int>(mine.children.size()) - 1; i >= 0;) {
    if (kept.count(mine.children[static_cast<std::size_t>(i)])) {
      --i;
      continue;
    }
    const int last = i;
    while (i >= 0 && !kept.count(mine.children[static_cast<std::size_t>(i)])) --i;
    const int first = i + 1;
    beginRemoveRows(parentIndex, first, last);
    for (int r = first; r <= last; ++r) eraseSubtree(mine.children[static_cast<std::size_t>(r)]);
    mine.children.erase(mine.children.begin() + first, mine.children.begin() + last + 1);
    renumber(mine, static_cast<std::size_t>(first));
    endRemoveRows();
  }

  // The tree never reorders items, so what is left is in the tree's order; should it not be, this
  // parent's rows are replaced as a whole.
  std::size_t matched = 0;
  for (TreeItem child : theirs.children)
    if (matched < mine.children.size() && mine.children[matched] == child) ++matched;
  if (matched != mine.children.size()) {
    beginRemoveRows(parentIndex, 0, static_cast<int>(mine.children.size()) - 1);
    for (TreeItem child : mine.children) eraseSubtree(child);
    mine.children.clear();
    endRemoveRows();
  }

  // New children, in runs up to the next child already shown.
  std::unordered_set<TreeItem> inserted;
  for (std::size_t j = 0; j < theirs.children.size();) {
    if (j < mine.children.size() && mine.children[j] == theirs.children[j]) {
      ++j;
      continue;
    }
    const TreeItem nextShown = j < mine.children.size() ? mine.children[j] : kNoItem;
    std::size_t end = j;
    while (end < theirs.children.size() && theirs.children[end] != nextShown) ++end;
    beginInsertRows(parentIndex, static_cast<int>(j), static_cast<int>(end) - 1);
    for (std::size_t k = j; k < end; ++k) {
      copySubtree(theirs.children[k], fresh);
      inserted.insert(theirs.children[k]);
    }
    mine.children.insert(mine.children.begin() + static_cast<std::ptrdiff_t>(j), theirs.children.begin() + static_cast<std::ptrdiff_t>(j),
                         theirs.children.begin() + static_cast<std::ptrdiff_t>(end));
    renumber(mine, j);
    endInsertRows();
    j = end;
  }

  // Changed looks of the children that stayed, reported as one range; their own children come next.
  int firstChanged = -1;
  int lastChanged = -1;
  bool buttonsChanged = false;
  for (std::size_t r = 0; r < mine.children.size(); ++r) {
    const TreeItem child = mine.children[r];
    if (inserted.count(child)) continue;
    Node& shown = m_nodes.at(child);
    const Node& now = fresh.at(child);
    if (!shown.sameLook(now)) {
      shown.text = now.text;
      shown.icon = now.icon;
      shown.state = now.state;
      shown.enabled = now.enabled;
      shown.colour = now.colour;
      if (firstChanged < 0) firstChanged = static_cast<int>(r);
      lastChanged = static_cast<int>(r);
    }
    if (shown.placeholder != now.placeholder) {
      shown.placeholder = now.placeholder;
      buttonsChanged = true;
    }
    next.push_back(child);
  }
  if (firstChanged >= 0)
    emit dataChanged(index(firstChanged, 0, parentIndex), index(lastChanged, 0, parentIndex),
                     {Qt::DisplayRole, Qt::DecorationRole, Qt::CheckStateRole, Qt::ForegroundRole});
  return buttonsChanged;
}

const CheckTreeModel::Node* CheckTreeModel::find(TreeItem item) const {
  const auto it = m_nodes.find(item);
  return it == m_nodes.end() ? nullptr : &it->second;
}

QModelIndex CheckTreeModel::indexOfNode(TreeItem item, const Node& node) const {
  if (item == kTreeRoot) return {};
  return createIndex(node.row, 0, idOf(item));
}

TreeItem CheckTreeModel::item(const QModelIndex& index) const {
  if (!index.isValid()) return kTreeRoot;
  return itemOf(index.internalId());
}

QModelIndex CheckTreeModel::indexOf(TreeItem item) const {
  const Node* node = item == kTreeRoot ? nullptr : find(item);
  return node ? indexOfNode(item, *node) : QModelIndex();
}

QModelIndex CheckTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0) return {};
  const Node* p = find(item(parent));
  if (!p || static_cast<std::size_t>(row) >= p->children.size()) return {};
  return createIndex(row, 0, idOf(p->children[static_cast<std::size_t>(row)]));
}

QModelIndex CheckTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const Node* node = find(item(child));
  if (!node || node->parent == kTreeRoot) return {};
  const Node* p = find(node->parent);
  return p ? indexOfNode(node->parent, *p) : QModelIndex();
}

int CheckTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const Node* p = find(item(parent));
  return p ? static_cast<int>(p->children.size()) : 0;
}

int CheckTreeModel::columnCount(const QModelIndex& parent) const {
  (void)parent;
  return 1;
}

bool CheckTreeModel::hasChildren(const QModelIndex& parent) const {
  if (parent.column() > 0) return false;
  const Node* p = find(item(parent));
  return p && (!p->children.empty() || p->placeholder);
}

QVariant CheckTreeModel::data(const QModelIndex& index, int role) const {
  const Node* node = index.isValid() ? find(item(index)) : nullptr;
  if (!node) return {};
  switch (role) {
    case Qt::DisplayRole:
      return node->text;
    case Qt::DecorationRole: {
      QIcon icon;
      switch (node->icon) {
        case TreeIcon::Folder:
          icon = m_icons.folder();
          break;
        case TreeIcon::Volume:
          icon = m_icons.volume();
          break;
        case TreeIcon::File:
          icon = m_icons.file(node->text);
          break;
      }
      // Deleted entries carry a mark of their own besides the red text, for readers who do not see red.
      return node->deleted ? m_icons.deleted(icon) : icon;
    }
    case Qt::ToolTipRole:
      return node->deleted ? QStringLiteral("deleted") : QVariant();
    case Qt::CheckStateRole:
      return checkState(node->state);
    case Qt::ForegroundRole:
      if (node->colour.isDefault) return {};
      return QColor(node->colour.red, node->colour.green, node->colour.blue);
    default:
      return {};
  }
}

bool CheckTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || !find(item(index))) return false;
  const TreeItem at = item(index);
  const bool wanted = value.toInt() == Qt::Checked;
  // A partly checked folder's own flag is clear, so asking for a tick ticks it, as a click does.
  if (wanted != m_tree.ownCheck(at)) m_tree.clickCheckBox(at);
  scheduleRefresh();
  return true;
}

Qt::ItemFlags CheckTreeModel::flags(const QModelIndex& index) const {
  const Node* node = index.isValid() ? find(item(index)) : nullptr;
  if (!node) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
  if (node->enabled) flags |= Qt::ItemIsEnabled;
  return flags;
}

}  // namespace tessary::ui
