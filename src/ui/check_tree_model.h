// The results tree for Qt's views: a QAbstractItemModel over CXHtmlTree. It keeps its own copy of the
// tree's shape, so a worker filling the tree never changes what a view is reading; each refresh (queued
// on the UI thread whenever the tree reports a change) reports the differences as row removals,
// insertions and data changes. Placeholder children are not shown: their folder just has an expand
// button. Check boxes show the tree's displayed state; deleted entries are red.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include <QAbstractItemModel>
#include <QString>

#include "controls/xhtml_tree.h"

namespace tessary::ui {

class ThemeIcons;

class CheckTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  CheckTreeModel(CXHtmlTree& tree, ThemeIcons& icons);

  // Queues one refresh on the UI thread; safe from any thread (the tree's change callbacks).
  void scheduleRefresh();
  // Reads the tree again and tells the views what changed. UI thread only.
  void refresh();

  TreeItem item(const QModelIndex& index) const;
  QModelIndex indexOf(TreeItem item) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // A check box set from a view is a click on the item's check box (the tree's rules decide).
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  // After every refresh, so a view can follow the tree's expansion and selection.
  void refreshed();

 private:
  struct Node {
    TreeItem parent = kNoItem;
    int row = 0;
    std::vector<TreeItem> children;  // placeholders left out
    bool placeholder = false;        // the folder holds a placeholder: expandable, no rows yet
    QString text;
    TreeIcon icon = TreeIcon::File;
    int state = kCheckUnchecked;
    bool enabled = true;
    TreeColour colour;
    bool deleted = false;
    bool sameLook(const Node& other) const;
  };
  using Nodes = std::unordered_map<TreeItem, Node>;

  Nodes readTree() const;
  // Brings one parent's children in line with `fresh`; returns whether an expand button came or went.
  bool syncChildren(TreeItem parent, const Nodes& fresh, std::vector<TreeItem>& next);
  void copySubtree(TreeItem item, const Nodes& fresh);
  void eraseSubtree(TreeItem item);
  void renumber(Node& parent, std::size_t from);
  const Node* find(TreeItem item) const;
  QModelIndex indexOfNode(TreeItem item, const Node& node) const;

  CXHtmlTree& m_tree;
  ThemeIcons& m_icons;
  Nodes m_nodes;
  std::atomic<bool> m_refreshQueued{false};
};

}  // namespace tessary::ui
