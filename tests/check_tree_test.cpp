// The check-box tree and list models: propagation of ticks, the displayed states and the user's clicks.
#include <gtest/gtest.h>

#include "controls/check_list.h"
#include "controls/xhtml_tree.h"

namespace tessary {
namespace {

struct FolderWithThreeFiles {
  CXHtmlTree tree;
  TreeItem folder = tree.insertItem("folder", kTreeRoot, kInsertLast, TreeIcon::Folder);
  TreeItem a = tree.insertItem("a", folder);
  TreeItem b = tree.insertItem("b", folder);
  TreeItem c = tree.insertItem("c", folder);
};

TEST(CheckTree, TickingAFolderTicksEverythingBelowAndUntickingOneMakesItPartial) {
  FolderWithThreeFiles t;
  t.tree.SetCheck(t.folder, true);
  for (TreeItem i : {t.folder, t.a, t.b, t.c}) EXPECT_TRUE(t.tree.GetCheck(i));
  EXPECT_EQ(t.tree.checkedDescendantCount(t.folder), 3);
  EXPECT_EQ(t.tree.displayedState(t.folder), kCheckChecked);

  t.tree.SetCheck(t.b, false);
  EXPECT_EQ(t.tree.displayedState(t.folder), kCheckPartial);
  EXPECT_FALSE(t.tree.ownCheck(t.folder));
  EXPECT_FALSE(t.tree.GetCheck(t.folder));

  t.tree.SetCheck(t.b, true);
  EXPECT_TRUE(t.tree.ownCheck(t.folder));
  EXPECT_EQ(t.tree.displayedState(t.folder), kCheckChecked);
}

TEST(CheckTree, AncestorCountsFollowChangesSeveralLevelsDown) {
  CXHtmlTree tree;
  const TreeItem top = tree.insertItem("ROOT", kTreeRoot, kInsertLast, TreeIcon::Folder);
  const TreeItem dir = tree.insertItem("dir", top, kInsertLast, TreeIcon::Folder);
  const TreeItem sub = tree.insertItem("sub", dir, kInsertLast, TreeIcon::Folder);
  const TreeItem f1 = tree.insertItem("f1", sub);
  const TreeItem f2 = tree.insertItem("f2", sub);
  const TreeItem g = tree.insertItem("g", top);
  EXPECT_EQ(tree.descendantCount(top), 5);

  tree.SetCheck(f1, true);
  EXPECT_EQ(tree.displayedState(sub), kCheckPartial);
  EXPECT_EQ(tree.displayedState(dir), kCheckPartial);
  EXPECT_EQ(tree.displayedState(top), kCheckPartial);
  tree.SetCheck(f2, true);
  // Completing sub completes dir too, and each newly checked ancestor counts in the next one up.
  EXPECT_TRUE(tree.ownCheck(sub));
  EXPECT_TRUE(tree.ownCheck(dir));
  EXPECT_EQ(tree.checkedDescendantCount(top), 4);
  tree.SetCheck(g, true);
  EXPECT_TRUE(tree.GetCheck(top));
  EXPECT_EQ(tree.checkedDescendantCount(top), 5);

  tree.SetCheck(sub, false);
  EXPECT_EQ(tree.checkedDescendantCount(top), 1);
  EXPECT_FALSE(tree.ownCheck(dir));
  EXPECT_EQ(tree.displayedState(top), kCheckPartial);
}

TEST(CheckTree, TickingAnItemWhoseOwnFlagIsSetStillTicksItsUntickedChildren) {
  // The results page ticks the top item before and after filling it; the children inserted in between
  // come unticked, and the second tick must reach them.
  CXHtmlTree tree;
  const TreeItem top = tree.insertItem("ROOT", kTreeRoot, kInsertLast, TreeIcon::Folder);
  tree.SetCheck(top, true);
  const TreeItem a = tree.insertItem("a", top);
  const TreeItem b = tree.insertItem("b", top);
  EXPECT_EQ(tree.displayedState(top), kCheckUnchecked);
  tree.SetCheck(top, true);
  EXPECT_TRUE(tree.GetCheck(a));
  EXPECT_TRUE(tree.GetCheck(b));
  EXPECT_EQ(tree.displayedState(top), kCheckChecked);
}

TEST(CheckTree, InsertedAndDeletedItemsKeepTheCountsExact) {
  FolderWithThreeFiles t;
  t.tree.SetCheck(t.folder, true);
  // A placeholder replaced by real children, inserted with the folder's state.
  const TreeItem sub = t.tree.insertItem("sub", t.folder, kInsertLast, TreeIcon::Folder, 0, t.tree.GetCheck(t.folder));
  const TreeItem dummy = t.tree.insertItem("..DUMY..", sub, kInsertLast, TreeIcon::File, 0, true);
  EXPECT_EQ(t.tree.descendantCount(t.folder), 5);
  EXPECT_EQ(t.tree.checkedDescendantCount(t.folder), 5);
  t.tree.deleteItem(dummy);
  EXPECT_EQ(t.tree.descendantCount(t.folder), 4);
  EXPECT_EQ(t.tree.checkedDescendantCount(t.folder), 4);
  EXPECT_TRUE(t.tree.GetCheck(sub));  // no descendants left: its own flag
  const TreeItem x = t.tree.insertItem("x", sub, kInsertLast, TreeIcon::File, 0, t.tree.GetCheck(sub));
  EXPECT_TRUE(t.tree.GetCheck(x));
  EXPECT_TRUE(t.tree.GetCheck(t.folder));
  t.tree.deleteItem(sub);
  EXPECT_EQ(t.tree.descendantCount(t.folder), 3);
  EXPECT_FALSE(t.tree.isValid(x));
}

TEST(CheckTree, SeparatorsAreNeverCheckedNorCounted) {
  FolderWithThreeFiles t;
  const TreeItem sep = t.tree.insertSeparator(t.folder);
  EXPECT_EQ(t.tree.separatorCount(t.folder), 1);
  t.tree.SetCheck(t.folder, true);
  EXPECT_FALSE(t.tree.ownCheck(sep));
  EXPECT_TRUE(t.tree.GetCheck(t.folder));
  t.tree.clickCheckBox(sep);
  EXPECT_FALSE(t.tree.ownCheck(sep));
  t.tree.SetCheck(t.a, false);
  t.tree.SetCheck(t.a, true);
  EXPECT_TRUE(t.tree.ownCheck(t.folder));
}

TEST(CheckTree, ClicksOnDisabledItemsOrAReadOnlyTreeChangeNothing) {
  FolderWithThreeFiles t;
  int notifications = 0;
  t.tree.onCheckboxClicked = [&](TreeItem, bool) { ++notifications; };
  t.tree.enableItem(t.a, false);
  t.tree.clickCheckBox(t.a);
  EXPECT_FALSE(t.tree.ownCheck(t.a));
  EXPECT_EQ(t.tree.checkImage(t.a), kCheckUnchecked | kCheckDisabledBit);
  t.tree.setReadOnly(true);
  t.tree.clickCheckBox(t.b);
  EXPECT_FALSE(t.tree.ownCheck(t.b));
  EXPECT_EQ(notifications, 0);
  t.tree.setReadOnly(false);
  t.tree.setSelectOnCheck(true);
  t.tree.clickCheckBox(t.b);
  EXPECT_TRUE(t.tree.ownCheck(t.b));
  EXPECT_EQ(t.tree.selectedItem(), t.b);
  EXPECT_EQ(t.tree.hotItem(), t.b);
  EXPECT_EQ(t.tree.checkImage(t.b), kCheckChecked | kCheckHotBit);
  EXPECT_EQ(notifications, 1);
}

TEST(CheckTree, DoubleClickTogglesOpenStateAndLabelClickSendsTheMessage) {
  FolderWithThreeFiles t;
  std::vector<std::pair<TreeItem, bool>> expanded;
  t.tree.onItemExpanded = [&](TreeItem item, bool open) { expanded.emplace_back(item, open); };
  std::vector<std::pair<std::uint32_t, TreeItem>> labels;
  t.tree.onLabelClicked = [&](std::uint32_t flags, TreeItem item) { labels.emplace_back(flags, item); };

  t.tree.doubleClick(t.folder);
  EXPECT_TRUE(t.tree.isExpanded(t.folder));
  EXPECT_TRUE(t.tree.wasExpandedOnce(t.folder));
  t.tree.doubleClick(t.folder);
  EXPECT_FALSE(t.tree.isExpanded(t.folder));
  EXPECT_TRUE(t.tree.wasExpandedOnce(t.folder));
  ASSERT_EQ(expanded.size(), 2u);
  EXPECT_EQ(expanded[1], std::make_pair(t.folder, false));

  t.tree.doubleClick(t.a);  // no children: nothing opens
  EXPECT_EQ(expanded.size(), 2u);
  t.tree.enableItem(t.folder, false);
  t.tree.doubleClick(t.folder);
  EXPECT_FALSE(t.tree.isExpanded(t.folder));

  t.tree.clickLabel(t.c, 4);
  ASSERT_EQ(labels.size(), 1u);
  EXPECT_EQ(labels[0], std::make_pair(4u, t.c));
  EXPECT_EQ(t.tree.selectedItem(), t.c);
}

TEST(CheckTree, SiblingOrderFollowsInsertPositions) {
  CXHtmlTree tree;
  const TreeItem b = tree.insertItem("b");
  const TreeItem d = tree.insertItem("d");
  const TreeItem a = tree.insertItem("a", kTreeRoot, kInsertFirst);
  const TreeItem c = tree.insertItem("c", kTreeRoot, b);
  EXPECT_EQ(tree.children(kTreeRoot), (std::vector<TreeItem>{a, b, c, d}));
  EXPECT_EQ(tree.rootItem(), a);
  EXPECT_EQ(tree.nextSiblingItem(d), kNoItem);
  tree.deleteItem(b);
  EXPECT_EQ(tree.nextSiblingItem(a), c);
  EXPECT_EQ(tree.childCount(kTreeRoot), 3u);
  tree.deleteAllItems();
  EXPECT_EQ(tree.rootItem(), kNoItem);
  EXPECT_FALSE(tree.isValid(a));
}

TEST(CheckList, HeaderShowsCheckedOnlyWhenEveryRowIsAndTogglesAllRows) {
  CCheckListCtrl list;
  EXPECT_EQ(list.headerImage(), 2);  // empty list
  list.appendRow({"a"}, 1);
  list.appendRow({"b"}, 2);
  EXPECT_EQ(list.headerImage(), 1);
  std::vector<std::pair<std::size_t, bool>> clicks;
  list.onRowCheckClicked = [&](std::size_t row, bool state) { clicks.emplace_back(row, state); };
  list.clickRowCheckBox(0);
  EXPECT_EQ(list.headerImage(), 1);
  list.clickRowCheckBox(1);
  EXPECT_EQ(list.headerImage(), 2);
  EXPECT_EQ(clicks, (std::vector<std::pair<std::size_t, bool>>{{0, true}, {1, true}}));

  list.clickHeaderCheckBox();
  EXPECT_EQ(list.headerImage(), 1);
  EXPECT_FALSE(list.rowChecked(0));
  EXPECT_FALSE(list.rowChecked(1));
  list.clickHeaderCheckBox();
  EXPECT_TRUE(list.rowChecked(0));
  EXPECT_TRUE(list.rowChecked(1));
  EXPECT_EQ(clicks.size(), 2u);  // the header never tells the page about rows
  list.deleteAllRows();
  EXPECT_EQ(list.headerImage(), 2);
}

}  // namespace
}  // namespace tessary
