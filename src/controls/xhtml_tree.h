// CXHtmlTree: the results page's tree as a model, with three-state check boxes that propagate to every
// descendant and ancestor, and the notifications the page listens to. No UI lives here; the GUI shows
// it through an item-model adapter and the command line walks it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessary {

// An item handle. kTreeRoot stands for the invisible root above the top-level items; 0 is "no item".
using TreeItem = std::int64_t;
constexpr TreeItem kNoItem = 0;
constexpr TreeItem kTreeRoot = -0x10000;  // TVI_ROOT
constexpr TreeItem kInsertLast = -0x0FFFF;  // TVI_LAST
constexpr TreeItem kInsertFirst = -0x0FFFF - 1;  // TVI_FIRST

enum class TreeIcon : std::uint8_t { Folder, File, Volume };

// Check-box images: 1 unchecked, 2 checked, 3 partly checked; +4 disabled, +8 hot (just clicked).
constexpr int kCheckUnchecked = 1;
constexpr int kCheckChecked = 2;
constexpr int kCheckPartial = 3;
constexpr int kCheckDisabledBit = 4;
constexpr int kCheckHotBit = 8;

// Window message the tree sends its page when a label is clicked (first parameter: hit-test flags).
constexpr std::uint32_t kMsgTreeLabelClicked = 1141;

struct TreeColour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool isDefault = true;
  bool operator==(const TreeColour&) const = default;
};
inline constexpr TreeColour kDeletedColour{255, 0, 0, false};

class CXHtmlTree {
 public:
  CXHtmlTree();
  ~CXHtmlTree();
  CXHtmlTree(const CXHtmlTree&) = delete;
  CXHtmlTree& operator=(const CXHtmlTree&) = delete;

  // Control-wide flags. Smart check (the descendant rules) is on for the results tree.
  void setCheckBoxes(bool on);
  void setSmartCheck(bool on);
  void setReadOnly(bool on);
  void setSelectOnCheck(bool on);
  bool smartCheck() const;
  bool readOnly() const;

  // Inserts an item under `parent` (kTreeRoot for the top level) after `after` (kInsertLast,
  // kInsertFirst or a sibling). The item takes the check state it is given; counts of its ancestors
  // are updated. Returns the new handle.
  TreeItem insertItem(const std::string& text, TreeItem parent = kTreeRoot, TreeItem after = kInsertLast,
                      TreeIcon icon = TreeIcon::File, std::int64_t data = 0, bool checked = false);
  TreeItem insertSeparator(TreeItem parent, TreeItem after = kInsertLast);
  // Deletes the item and everything below it.
  void deleteItem(TreeItem item);
  void deleteAllItems();

  bool isValid(TreeItem item) const;
  TreeItem parentItem(TreeItem item) const;       // kTreeRoot for a top-level item
  TreeItem childItem(TreeItem item) const;        // first child, kNoItem when none; item may be kTreeRoot
  TreeItem nextSiblingItem(TreeItem item) const;  // kNoItem at the end
  TreeItem rootItem() const;                      // first top-level item
  bool hasChildren(TreeItem item) const;
  std::size_t childCount(TreeItem item) const;
  std::vector<TreeItem> children(TreeItem item) const;

  std::string itemText(TreeItem item) const;
  void setItemText(TreeItem item, const std::string& text);
  std::int64_t itemData(TreeItem item) const;
  void setItemData(TreeItem item, std::int64_t data);
  TreeIcon itemIcon(TreeItem item) const;
  void setItemIcon(TreeItem item, TreeIcon icon);
  TreeColour textColour(TreeItem item) const;
  void setTextColour(TreeItem item, TreeColour colour);
  // Deleted entries are drawn in red.
  bool isDeletedItem(TreeItem item) const;
  void markDeleted(TreeItem item, bool deleted = true);

  // Checks.
  void SetCheck(TreeItem item, bool checked);
  bool GetCheck(TreeItem item) const;
  bool ownCheck(TreeItem item) const;  // the item's own flag
  int checkImage(TreeItem item) const;  // 1/2/3 with the disabled and hot bits
  int displayedState(TreeItem item) const;  // 1, 2 or 3
  bool anyChecked() const;

  void enableItem(TreeItem item, bool enabled);
  bool isEnabled(TreeItem item) const;
  bool isSeparator(TreeItem item) const;

  // Counts kept per item.
  std::int64_t descendantCount(TreeItem item) const;
  std::int64_t checkedDescendantCount(TreeItem item) const;
  std::int64_t separatorCount(TreeItem item) const;

  // Open state. Expanding first tells the page (onItemExpanding) so it can fill the folder.
  void expand(TreeItem item, bool expanded);
  bool isExpanded(TreeItem item) const;
  bool wasExpandedOnce(TreeItem item) const;

  void selectItem(TreeItem item);
  TreeItem selectedItem() const;
  TreeItem hotItem() const;

  // The user's actions on the tree, as the window would report them.
  void clickCheckBox(TreeItem item);
  void doubleClick(TreeItem item);
  void clickLabel(TreeItem item, std::uint32_t hitFlags = 0);

  // Whole-tree enabling while a save runs (the tree is drawn greyed).
  void setTreeEnabled(bool enabled);
  bool treeEnabled() const;

  // Notifications to the parent page, sent synchronously.
  std::function<void(TreeItem, bool)> onCheckboxClicked;   // "WM_XHTMLTREE_CHECKBOX_CLICKED"
  std::function<void(TreeItem, bool)> onItemExpanded;      // "WM_XHTMLTREE_ITEM_EXPANDED"
  std::function<void(std::uint32_t, TreeItem)> onLabelClicked;  // message 1141
  std::function<void(TreeItem)> onItemExpanding;           // before an item opens
  std::function<void(TreeItem)> onDoubleClicked;           // after the tree handled a double click
  // Structure changes, for a view that mirrors the model (called after the change, outside the lock).
  std::function<void()> onChanged;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tessary
