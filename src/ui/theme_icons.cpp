// Theme icons by kind and by file-name extension.
#include "ui/theme_icons.h"

#include <algorithm>

#include <QFileInfo>
#include <QPainter>
#include <QPen>
#include <QPixmap>

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

QIcon ThemeIcons::deleted(const QIcon& base) {
  const qint64 key = base.cacheKey();
  if (const auto it = m_deleted.constFind(key); it != m_deleted.constEnd()) return *it;
  // Icons made afresh on every call would each get a key of their own; the cache stays small anyway.
  if (m_deleted.size() > 256) m_deleted.clear();
  QIcon icon;
  for (const int side : {16, 24, 32}) {
    QPixmap pixmap = base.isNull() ? QPixmap(side, side) : base.pixmap(side, side);
    if (base.isNull()) pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const int w = pixmap.width();
    const int h = pixmap.height();
    // The cross fills the lower right quarter and more, so it reads at 16 pixels too.
    painter.setPen(QPen(QColor(210, 0, 0), std::max(2, w / 8), Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(w * 0.4, h * 0.4), QPointF(w * 0.92, h * 0.92));
    painter.drawLine(QPointF(w * 0.92, h * 0.4), QPointF(w * 0.4, h * 0.92));
    painter.end();
    icon.addPixmap(pixmap);
  }
  m_deleted.insert(key, icon);
  return icon;
}

}  // namespace tessary::ui
