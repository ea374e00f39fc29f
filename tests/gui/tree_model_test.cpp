// The tree and list adapters: the tree's shape, checks, colours and icons as Qt's views see them,
// consistent under QAbstractItemModelTester while a worker fills the tree; and the tree view's clicks
// (check box, label, double click, expanding) turned into the tree's own actions.
#include <thread>

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QTest>
#include <QTreeView>

#include "controls/check_list.h"
#include "controls/xhtml_tree.h"
#include "results/save_engine.h"
#include "support/gui_driver.h"
#include "ui/check_list_model.h"
#include "ui/check_tree_model.h"
#include "ui/check_tree_view.h"
#include "ui/theme_icons.h"

using namespace tessary;
using tessary::test::gui::settle;

namespace {

// ROOT / docs (a.txt, b.txt), lazy/ (placeholder only), top.txt (deleted)
struct SmallTree {
  explicit SmallTree(CXHtmlTree& tree) {
    tree.setSmartCheck(true);
    root = tree.insertItem("ROOT", kTreeRoot, kInsertLast, TreeIcon::Folder);
    docs = tree.insertItem("docs", root, kInsertLast, TreeIcon::Folder);
    a = tree.insertItem("a.txt", docs);
    b = tree.insertItem("b.txt", docs);
    lazy = tree.insertItem("lazy", root, kInsertLast, TreeIcon::Folder);
    placeholder = tree.insertItem(SaveEngine::kPlaceholder, lazy);
    top = tree.insertItem("top.txt", root);
    tree.markDeleted(top);
  }
  TreeItem root, docs, a, b, lazy, placeholder, top;
};

}  // namespace

class TreeModelTest : public QObject {
  Q_OBJECT

 private slots:
  void shapeFollowsTheTreeWithPlaceholdersHiddenBehindAnExpandButton() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 1);
    const QModelIndex root = model.index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("ROOT"));
    QCOMPARE(model.rowCount(root), 3);
    const QModelIndex lazy = model.indexOf(t.lazy);
    QCOMPARE(lazy.data().toString(), QStringLiteral("lazy"));
    QCOMPARE(model.rowCount(lazy), 0);
    QVERIFY(model.hasChildren(lazy));
    QVERIFY(!model.hasChildren(model.indexOf(t.top)));
    QCOMPARE(model.parent(model.indexOf(t.a)), model.indexOf(t.docs));
    QCOMPARE(model.item(model.indexOf(t.b)), t.b);
  }

  void filledFolderReplacesItsPlaceholderWithRowsOnRefresh() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    tree.deleteItem(t.placeholder);
    tree.insertItem("x.txt", t.lazy);
    tree.insertItem("y.txt", t.lazy);
    tree.deleteItem(t.a);
    model.refresh();
    const QModelIndex lazy = model.indexOf(t.lazy);
    QCOMPARE(model.rowCount(lazy), 2);
    QCOMPARE(model.index(1, 0, lazy).data().toString(), QStringLiteral("y.txt"));
    QCOMPARE(model.rowCount(model.indexOf(t.docs)), 1);
    QCOMPARE(model.index(0, 0, model.indexOf(t.docs)).data().toString(), QStringLiteral("b.txt"));
    // Rows that stayed kept their identity: top.txt is still the third child of ROOT.
    QCOMPARE(model.indexOf(t.top).row(), 2);
  }

  void workerFillingTheTreeNeverChangesWhatAViewIsReading() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    ui::CheckTreeModel model(tree, icons);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTreeView view;
    view.setModel(&model);
    tree.onChanged = [&] { model.scheduleRefresh(); };
    std::thread worker([&] {
      const TreeItem root = tree.insertItem("ROOT", kTreeRoot, kInsertLast, TreeIcon::Folder);
      for (int f = 0; f < 20; ++f) {
        const TreeItem folder = tree.insertItem("folder" + std::to_string(f), root, kInsertLast, TreeIcon::Folder);
        for (int i = 0; i < 20; ++i) tree.insertItem("file" + std::to_string(i), folder);
        if (f % 3 == 0) tree.deleteItem(tree.childItem(folder));
      }
    });
    // The UI thread keeps reading while the worker writes.
    for (int i = 0; i < 50; ++i) {
      view.expandAll();
      settle();
    }
    worker.join();
    settle();
    tree.onChanged = nullptr;
    const QModelIndex root = model.index(0, 0);
    QCOMPARE(model.rowCount(root), 20);
    QCOMPARE(model.rowCount(model.index(0, 0, root)), 19);
    QCOMPARE(model.rowCount(model.index(1, 0, root)), 20);
  }

  void checkBoxesShowTheTreesThreeStatesAfterEveryTick() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    tree.onCheckboxClicked = [&](TreeItem, bool) { model.scheduleRefresh(); };
    QVERIFY(model.setData(model.indexOf(t.docs), Qt::Checked, Qt::CheckStateRole));
    settle();
    QCOMPARE(model.indexOf(t.docs).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(model.indexOf(t.a).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(model.indexOf(t.root).data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
    tree.clickCheckBox(t.a);
    settle();
    QCOMPARE(model.indexOf(t.docs).data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
    // Asking a partly checked folder for a tick ticks everything below it, as its click does.
    model.setData(model.indexOf(t.docs), Qt::Checked, Qt::CheckStateRole);
    settle();
    QCOMPARE(model.indexOf(t.a).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    tree.onCheckboxClicked = nullptr;
  }

  void readOnlyTreeIgnoresChecksFromTheView() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    tree.setReadOnly(true);
    ui::CheckTreeModel model(tree, icons);
    model.setData(model.indexOf(t.a), Qt::Checked, Qt::CheckStateRole);
    model.refresh();
    QCOMPARE(model.indexOf(t.a).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QVERIFY(!tree.ownCheck(t.a));
  }

  void deletedEntriesAreRedAndEveryItemHasAnIcon() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    QCOMPARE(model.indexOf(t.top).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    QVERIFY(!model.indexOf(t.a).data(Qt::ForegroundRole).isValid());
    QVERIFY(!model.indexOf(t.docs).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!model.indexOf(t.a).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!icons.file(QStringLiteral("no-extension")).isNull());
  }

  void clickOnACheckBoxTicksWithoutListingAndClickOnALabelLists() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    ui::CheckTreeView view(model, tree);
    tree.onCheckboxClicked = [&](TreeItem, bool) { model.scheduleRefresh(); };
    std::vector<TreeItem> listed;
    tree.onLabelClicked = [&](std::uint32_t flags, TreeItem item) {
      QCOMPARE(flags, ui::CheckTreeView::kHitOnItemLabel);
      listed.push_back(item);
    };
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.expandAll();
    settle();
    const QModelIndex docs = model.indexOf(t.docs);
    QRect row = view.visualRect(docs);
    // The check box sits left of the icon and text: a click near the row's left edge lands on it.
    const QPoint checkBox(row.left() + view.style()->pixelMetric(QStyle::PM_IndicatorWidth) / 2 + 3, row.center().y());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, checkBox);
    settle();
    QVERIFY(tree.GetCheck(t.docs));
    QVERIFY(listed.empty());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(row.left() + 60, row.center().y()));
    settle();
    QCOMPARE(listed, std::vector<TreeItem>{t.docs});
    QCOMPARE(tree.selectedItem(), t.docs);
    tree.onCheckboxClicked = nullptr;
  }

  void expandingInTheViewAsksThePageToFillTheFolder() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    ui::CheckTreeView view(model, tree);
    tree.onChanged = [&] { model.scheduleRefresh(); };
    // What the results page does on expanding: the placeholder goes, the children come.
    tree.onItemExpanding = [&](TreeItem item) {
      const TreeItem first = tree.childItem(item);
      if (first == kNoItem || tree.itemText(first) != SaveEngine::kPlaceholder) return;
      tree.deleteItem(first);
      tree.insertItem("inside.txt", item);
    };
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.expand(model.indexOf(t.root));
    view.expand(model.indexOf(t.lazy));
    settle();
    QVERIFY(tree.isExpanded(t.lazy));
    QCOMPARE(model.rowCount(model.indexOf(t.lazy)), 1);
    QCOMPARE(model.index(0, 0, model.indexOf(t.lazy)).data().toString(), QStringLiteral("inside.txt"));
    QVERIFY(view.isExpanded(model.indexOf(t.lazy)));
    tree.onChanged = nullptr;
  }

  void doubleClickTogglesTheTreesOwnExpansionOnce() {
    CXHtmlTree tree;
    ui::ThemeIcons icons;
    SmallTree t(tree);
    ui::CheckTreeModel model(tree, icons);
    ui::CheckTreeView view(model, tree);
    tree.onChanged = [&] { model.scheduleRefresh(); };
    int doubleClicks = 0;
    tree.onDoubleClicked = [&](TreeItem item) {
      QCOMPARE(item, t.docs);
      ++doubleClicks;
    };
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.expand(model.indexOf(t.root));
    settle();
    const QRect row = view.visualRect(model.indexOf(t.docs));
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(row.left() + 60, row.center().y()));
    settle();
    QCOMPARE(doubleClicks, 1);
    QVERIFY(tree.isExpanded(t.docs));
    QVERIFY(view.isExpanded(model.indexOf(t.docs)));
    tree.onChanged = nullptr;
  }

  void listRowsTicksAndHeaderFollowTheListModel() {
    CCheckListCtrl list;
    ui::ThemeIcons icons;
    list.setColumns({"FILES LIST ", "SIZE"});
    list.appendRow({"a.txt", "5 Bytes"}, 11);
    list.appendRow({"gone.txt", "3 Bytes"}, 12);
    ui::CheckListModel model(list, icons);
    model.setDeletedTest([](std::int64_t item) { return item == 12; });
    model.refresh();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    list.onChanged = [&] { model.scheduleRefresh(); };
    std::vector<std::size_t> clicked;
    list.onRowCheckClicked = [&](std::size_t row, bool) { clicked.push_back(row); };

    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("FILES LIST "));
    QCOMPARE(model.index(1, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    QVERIFY(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
    settle();
    QCOMPARE(clicked, std::vector<std::size_t>{0});
    QCOMPARE(model.index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));

    QTreeView view;
    view.setModel(&model);
    QObject::connect(view.header(), &QHeaderView::sectionClicked, [&](int section) {
      if (section == 0) list.clickHeaderCheckBox();
    });
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.header()->setSectionsClickable(true);
    const QPoint header(view.header()->sectionViewportPosition(0) + 10, view.header()->height() / 2);
    // Unchecked while a row is; the click ticks every row (without telling the page).
    QTest::mouseClick(view.header()->viewport(), Qt::LeftButton, {}, header);
    settle();
    QCOMPARE(model.index(1, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(clicked.size(), std::size_t{1});
    list.onChanged = nullptr;
  }
};

QTEST_MAIN(TreeModelTest)
#include "tree_model_test.moc"
