// Folder, file and volume icons from the desktop theme: a file's icon is the one its name's extension is
// registered with, falling back to the style's plain file icon.
#pragma once

#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QMimeDatabase>
#include <QString>

namespace tessary::ui {

class ThemeIcons {
 public:
  QIcon folder() const;
  QIcon volume() const;
  QIcon file(const QString& name);

 private:
  QFileIconProvider m_provider;
  QMimeDatabase m_mimeTypes;
  QHash<QString, QIcon> m_bySuffix;
};

}  // namespace tessary::ui
