// The check-box tree model: items, descendant counts and the three-state check rules.
#include "controls/xhtml_tree.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace tessary {

struct CXHtmlTree::Impl {
  struct Node {
    std::string text;
    TreeIcon icon = TreeIcon::File;
    std::int64_t data = 0;
    TreeColour colour;
    bool deleted = false;
    bool checked = false;
    bool enabled = true;
    bool separator = false;
    bool expanded = false;
    bool expandedOnce = false;
    std::int64_t descendants = 0;
    std::int64_t checkedDescendants = 0;
    std::int64_t separators = 0;
    TreeItem parent = kNoItem;
    // Children as a doubly linked list, so that walking and inserting stay O(1) a step.
    TreeItem firstChild = kNoItem;
    TreeItem lastChild = kNoItem;
    TreeItem next = kNoItem;
    TreeItem prev = kNoItem;
    std::size_t childCount = 0;
  };

  mutable std::recursive_mutex mutex;
  std::unordered_map<TreeItem, Node> nodes;
  TreeItem nextHandle = 1;
  bool checkBoxes = true;
  bool smartCheck = true;
  bool readOnly = false;
  bool selectOnCheck = false;
  bool treeEnabled = true;
  TreeItem selected = kNoItem;
  TreeItem hot = kNoItem;

  Impl() { nodes[kTreeRoot] = Node{}; }

  Node* find(TreeItem item) {
    const auto it = nodes.find(item);
    return it == nodes.end() ? nullptr : &it->second;
  }
  const Node* find(TreeItem item) const {
    const auto it = nodes.find(item);
    return it == nodes.end() ? nullptr : &it->second;
  }
  // Real items only (not the invisible root).
  Node* item(TreeItem handle) { return handle == kTreeRoot ? nullptr : find(handle); }
  const Node* item(TreeItem handle) const { return handle == kTreeRoot ? nullptr : find(handle); }

  // Adds to the counts of every ancestor of `from` (the invisible root keeps none).
  void addToAncestors(TreeItem from, std::int64_t descendants, std::int64_t checked, std::int64_t separators) {
    TreeItem at = from;
    while (at != kTreeRoot && at != kNoItem) {
      Node* n = find(at);
      if (!n) break;
      n->descendants = std::max<std::int64_t>(0, n->descendants + descendants);
      n->checkedDescendants = std::max<std::int64_t>(0, n->checkedDescendants + checked);
      n->separators = std::max<std::int64_t>(0, n->separators + separators);
      at = n->parent;
    }
  }

  bool getCheck(const Node& n) const {
    if (smartCheck && n.descendants > 0)
      return n.checkedDescendants > 0 && n.checkedDescendants == n.descendants - n.separators;
    return n.checked;
  }

  int displayed(const Node& n) const {
    if (!smartCheck || n.descendants == 0) return n.checked ? kCheckChecked : kCheckUnchecked;
    if (n.checkedDescendants == 0) return kCheckUnchecked;
    if (n.checkedDescendants == n.descendants - n.separators) return kCheckChecked;
    return kCheckPartial;
  }

  // Sets an item and everything below it, depth first; separators are left alone.
  void setSubtree(TreeItem handle, bool state) {
    std::vector<TreeItem> stack{handle};
    while (!stack.empty()) {
      const TreeItem at = stack.back();
      stack.pop_back();
      Node* n = find(at);
      if (!n || n->separator) continue;
      n->checked = state;
      n->checkedDescendants = state ? std::max<std::int64_t>(0, n->descendants - n->separators) : 0;
      for (TreeItem c = n->lastChild; c != kNoItem;) {
        stack.push_back(c);
        const Node* child = find(c);
        c = child ? child->prev : kNoItem;
      }
    }
  }

  void setCheck(TreeItem handle, bool state) {
    Node* n = item(handle);
    if (!n || !n->enabled || n->separator) return;
    if (!smartCheck) {
      n->checked = state;
      return;
    }
    // What the item's subtree counted in its ancestors before and after: ticking always makes the whole
    // subtree ticked (also when the item's own flag was already set), so the counts above stay exact.
    const std::int64_t before = (n->checked ? 1 : 0) + n->checkedDescendants;
    setSubtree(handle, state);
    const std::int64_t after = (state ? 1 : 0) + n->checkedDescendants;
    std::int64_t delta = after - before;
    TreeItem at = n->parent;
    while (at != kTreeRoot && at != kNoItem && delta != 0) {
      Node* a = find(at);
      if (!a) break;
      a->checkedDescendants = std::max<std::int64_t>(0, a->checkedDescendants + delta);
      const bool flag = a->checkedDescendants == a->descendants - a->separators;
      if (flag != a->checked) delta += flag ? 1 : -1;
      a->checked = flag;
      at = a->parent;
    }
  }

  void erase(TreeItem handle) {
    std::vector<TreeItem> stack{handle};
    while (!stack.empty()) {
      const TreeItem at = stack.back();
      stack.pop_back();
      const auto it = nodes.find(at);
      if (it == nodes.end()) continue;
      for (TreeItem c = it->second.firstChild; c != kNoItem;) {
        stack.push_back(c);
        const Node* child = find(c);
        c = child ? child->next : kNoItem;
      }
      if (selected == at) selected = kNoItem;
      if (hot == at) hot = kNoItem;
      nodes.erase(it);
    }
  }
};

namespace {
// Fires a notification after the tree's lock is released, so handlers may call back in freely.
template <typename F, typename... Args>
void notify(const F& callback, Args... args) {
  if (callback) callback(args...);
}
}  // namespace

CXHtmlTree::CXHtmlTree() : m_impl(std::make_unique<Impl>()) {}
CXHtmlTree::~CXHtmlTree() = default;

void CXHtmlTree::setCheckBoxes(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->checkBoxes = on;
}
void CXHtmlTree::setSmartCheck(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->smartCheck = on;
}
void CXHtmlTree::setReadOnly(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->readOnly = on;
}
void CXHtmlTree::setSelectOnCheck(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->selectOnCheck = on;
}
bool CXHtmlTree::smartCheck() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->smartCheck;
}
bool CXHtmlTree::readOnly() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->readOnly;
}

TreeItem CXHtmlTree::insertItem(const std::string& text, TreeItem parent, TreeItem after, TreeIcon icon,
                                std::int64_t data, bool checked) {
  TreeItem handle = kNoItem;
  {
    std::lock_guard lock(m_impl->mutex);
    if (parent == kNoItem) parent = kTreeRoot;
    Impl::Node* p = m_impl->find(parent);
    if (!p) return kNoItem;
    handle = m_impl->nextHandle++;
    Impl::Node node;
    node.text = text;
    node.icon = icon;
    node.data = data;
    node.checked = checked;
    node.parent = parent;
    // Link after `after` when it is a child of `parent`, at the front for kInsertFirst, else at the end.
    TreeItem prev = p->lastChild;
    if (after == kInsertFirst) {
      prev = kNoItem;
    } else if (after != kInsertLast) {
      const Impl::Node* a = m_impl->item(after);
      if (a && a->parent == parent) prev = after;
    }
    node.prev = prev;
    node.next = prev == kNoItem ? p->firstChild : m_impl->find(prev)->next;
    m_impl->nodes.emplace(handle, std::move(node));
    p = m_impl->find(parent);  // the map may have moved nothing, but look it up again after inserting
    const Impl::Node& added = *m_impl->find(handle);
    if (added.prev == kNoItem) {
      p->firstChild = handle;
    } else {
      m_impl->find(added.prev)->next = handle;
    }
    if (added.next == kNoItem) {
      p->lastChild = handle;
    } else {
      m_impl->find(added.next)->prev = handle;
    }
    ++p->childCount;
    m_impl->addToAncestors(parent, 1, checked ? 1 : 0, 0);
  }
  notify(onChanged);
  return handle;
}

TreeItem CXHtmlTree::insertSeparator(TreeItem parent, TreeItem after) {
  const TreeItem handle = insertItem(std::string(), parent, after, TreeIcon::File, 0, false);
  if (handle == kNoItem) return handle;
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->find(handle)->separator = true;
    m_impl->addToAncestors(m_impl->find(handle)->parent, 0, 0, 1);
  }
  return handle;
}

void CXHtmlTree::deleteItem(TreeItem item) {
  {
    std::lock_guard lock(m_impl->mutex);
    Impl::Node* n = m_impl->item(item);
    if (!n) return;
    const TreeItem parent = n->parent;
    m_impl->addToAncestors(parent, -(1 + n->descendants), -((n->checked && !n->separator ? 1 : 0) + n->checkedDescendants),
                           -((n->separator ? 1 : 0) + n->separators));
    const TreeItem prev = n->prev;
    const TreeItem next = n->next;
    if (Impl::Node* p = m_impl->find(parent)) {
      if (p->firstChild == item) p->firstChild = next;
      if (p->lastChild == item) p->lastChild = prev;
      if (p->childCount > 0) --p->childCount;
    }
    if (Impl::Node* a = m_impl->find(prev)) a->next = next;
    if (Impl::Node* b = m_impl->find(next)) b->prev = prev;
    m_impl->erase(item);
  }
  notify(onChanged);
}

void CXHtmlTree::deleteAllItems() {
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->nodes.clear();
    m_impl->nodes[kTreeRoot] = Impl::Node{};
    m_impl->selected = kNoItem;
    m_impl->hot = kNoItem;
  }
  notify(onChanged);
}

bool CXHtmlTree::isValid(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->item(item) != nullptr;
}

TreeItem CXHtmlTree::parentItem(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->parent : kNoItem;
}

TreeItem CXHtmlTree::childItem(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->find(item);
  return n ? n->firstChild : kNoItem;
}

TreeItem CXHtmlTree::nextSiblingItem(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->next : kNoItem;
}

TreeItem CXHtmlTree::rootItem() const { return childItem(kTreeRoot); }

bool CXHtmlTree::hasChildren(TreeItem item) const { return childCount(item) > 0; }

std::size_t CXHtmlTree::childCount(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->find(item);
  return n ? n->childCount : 0;
}

std::vector<TreeItem> CXHtmlTree::children(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  std::vector<TreeItem> out;
  const Impl::Node* n = m_impl->find(item);
  for (TreeItem c = n ? n->firstChild : kNoItem; c != kNoItem;) {
    out.push_back(c);
    const Impl::Node* child = m_impl->find(c);
    c = child ? child->next : kNoItem;
  }
  return out;
}

std::string CXHtmlTree::itemText(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->text : std::string();
}

void CXHtmlTree::setItemText(TreeItem item, const std::string& text) {
  {
    std::lock_guard lock(m_impl->mutex);
    if (Impl::Node* n = m_impl->item(item)) n->text = text;
  }
  notify(onChanged);
}

std::int64_t CXHtmlTree::itemData(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->data : 0;
}

void CXHtmlTree::setItemData(TreeItem item, std::int64_t data) {
  std::lock_guard lock(m_impl->mutex);
  if (Impl::Node* n = m_impl->item(item)) n->data = data;
}

TreeIcon CXHtmlTree::itemIcon(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->icon : TreeIcon::File;
}

void CXHtmlTree::setItemIcon(TreeItem item, TreeIcon icon) {
  std::lock_guard lock(m_impl->mutex);
  if (Impl::Node* n = m_impl->item(item)) n->icon = icon;
}

TreeColour CXHtmlTree::textColour(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->colour : TreeColour{};
}

void CXHtmlTree::setTextColour(TreeItem item, TreeColour colour) {
  std::lock_guard lock(m_impl->mutex);
  if (Impl::Node* n = m_impl->item(item)) n->colour = colour;
}

bool CXHtmlTree::isDeletedItem(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && n->deleted;
}

void CXHtmlTree::markDeleted(TreeItem item, bool deleted) {
  std::lock_guard lock(m_impl->mutex);
  if (Impl::Node* n = m_impl->item(item)) {
    n->deleted = deleted;
    n->colour = deleted ? kDeletedColour : TreeColour{};
  }
}

void CXHtmlTree::SetCheck(TreeItem item, bool checked) {
  bool acted = false;
  {
    std::lock_guard lock(m_impl->mutex);
    const Impl::Node* n = m_impl->item(item);
    if (n && n->enabled && !n->separator) {
      m_impl->setCheck(item, checked);
      acted = true;
    }
  }
  if (acted) notify(onCheckboxClicked, item, checked);
}

bool CXHtmlTree::GetCheck(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && m_impl->getCheck(*n);
}

bool CXHtmlTree::ownCheck(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && n->checked;
}

int CXHtmlTree::displayedState(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? m_impl->displayed(*n) : kCheckUnchecked;
}

int CXHtmlTree::checkImage(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  if (!n) return kCheckUnchecked;
  int image = m_impl->displayed(*n);
  if (!n->enabled) image |= kCheckDisabledBit;
  if (m_impl->hot == item) image |= kCheckHotBit;
  return image;
}

bool CXHtmlTree::anyChecked() const {
  std::lock_guard lock(m_impl->mutex);
  for (const auto& [handle, node] : m_impl->nodes)
    if (handle != kTreeRoot && node.checked && !node.separator) return true;
  return false;
}

void CXHtmlTree::enableItem(TreeItem item, bool enabled) {
  std::lock_guard lock(m_impl->mutex);
  if (Impl::Node* n = m_impl->item(item)) n->enabled = enabled;
}

bool CXHtmlTree::isEnabled(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && n->enabled;
}

bool CXHtmlTree::isSeparator(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && n->separator;
}

std::int64_t CXHtmlTree::descendantCount(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->descendants : 0;
}

std::int64_t CXHtmlTree::checkedDescendantCount(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->checkedDescendants : 0;
}

std::int64_t CXHtmlTree::separatorCount(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n ? n->separators : 0;
}

void CXHtmlTree::expand(TreeItem item, bool expanded) {
  if (!isValid(item)) return;
  if (expanded) notify(onItemExpanding, item);
  {
    std::lock_guard lock(m_impl->mutex);
    Impl::Node* n = m_impl->item(item);
    if (!n) return;
    n->expanded = expanded;
    if (expanded) n->expandedOnce = true;
  }
  notify(onItemExpanded, item, expanded);
  notify(onChanged);
}

bool CXHtmlTree::isExpanded(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && n->expanded;
}

bool CXHtmlTree::wasExpandedOnce(TreeItem item) const {
  std::lock_guard lock(m_impl->mutex);
  const Impl::Node* n = m_impl->item(item);
  return n && n->expandedOnce;
}

void CXHtmlTree::selectItem(TreeItem item) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->selected = m_impl->item(item) ? item : kNoItem;
}

TreeItem CXHtmlTree::selectedItem() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->selected;
}

TreeItem CXHtmlTree::hotItem() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->hot;
}

void CXHtmlTree::clickCheckBox(TreeItem item) {
  bool newState = false;
  {
    std::lock_guard lock(m_impl->mutex);
    const Impl::Node* n = m_impl->item(item);
    if (!n || n->separator || !n->enabled || m_impl->readOnly || !m_impl->treeEnabled || !m_impl->checkBoxes) return;
    newState = !n->checked;
  }
  SetCheck(item, newState);
  std::lock_guard lock(m_impl->mutex);
  if (m_impl->selectOnCheck) m_impl->selected = item;
  m_impl->hot = item;
}

void CXHtmlTree::doubleClick(TreeItem item) {
  bool toggle = false;
  bool expandNow = false;
  {
    std::lock_guard lock(m_impl->mutex);
    const Impl::Node* n = m_impl->item(item);
    if (!n || !n->enabled || !m_impl->treeEnabled) return;
    toggle = n->childCount > 0;
    expandNow = !n->expanded;
  }
  if (toggle) expand(item, expandNow);
  notify(onDoubleClicked, item);
}

void CXHtmlTree::clickLabel(TreeItem item, std::uint32_t hitFlags) {
  {
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->item(item) || !m_impl->treeEnabled) return;
    m_impl->selected = item;
  }
  notify(onLabelClicked, hitFlags, item);
}

void CXHtmlTree::setTreeEnabled(bool enabled) {
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->treeEnabled = enabled;
  }
  notify(onChanged);
}

bool CXHtmlTree::treeEnabled() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->treeEnabled;
}

}  // namespace tessary
