// Theme icons by kind and by file-name extension.
#include "ui/theme_icons.h"

#include <QFileInfo>

namespace tessary::ui {

QIcon ThemeIcons::folder() const { return m_provider.icon(QAbstractFileIconProvider::Folder); }

QIcon ThemeIcons::volume() const { return m_provider.icon(QAbstractFileIconProvider::Drive); }

QIcon ThemeIcons::file(const QString& name) {
  const QString suffix = QFileInfo(name).suffix().toLower();
  if (const auto it = m_bySuffix.constFind(suffix); it != m_bySuffix.constEnd()) return *it;
  QIcon icon;
  if (!suffix.isEmpty()) {
    // Matched by the name alone: the entry is not a host file.
    const QMimeType type = m_mimeTypes.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
  }
  if (icon.isNull()) icon = m_provider.icon(QAbstractFileIconProvider::File);
  m_bySuffix.insert(suffix, icon);
  return icon;
}

}  // namespace tessary::ui
