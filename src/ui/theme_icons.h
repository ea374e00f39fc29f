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
  // A deleted entry's icon: its usual icon with a red cross over it (the legend shows the same).
  QIcon deleted(const QIcon& base);
  QIcon deletedFile() { return deleted(file(QString())); }

 private:
  QFileIconProvider m_provider;
  QMimeDatabase m_mimeTypes;
  QHash<QString, QIcon> m_bySuffix;
  QHash<qint64, QIcon> m_deleted;  // by the base icon's cache key
};

}  // namespace tessary::ui
