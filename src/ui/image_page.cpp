// The image page's window.
#include "ui/image_page.h"

#include <tuple>

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/scan_mode_page.h"
#include "ui/wizard.h"

namespace tessary::ui {

QStringList nameFiltersOf(const std::string& windowsFilter) {
  const QStringList parts = QString::fromStdString(windowsFilter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& text = parts[i];
    if (text.isEmpty()) break;
    // Qt takes a filter's patterns from the parentheses of its text; a text without them gets the pattern.
    filters << (text.contains(QLatin1Char('(')) ? text : QStringLiteral("%1 (%2)").arg(text, parts[i + 1]));
  }
  return filters;
}

ImagePage::ImagePage(Wizard& wizard)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), m_view, m_sink),
      m_binding(m_view),
      m_pathLabel(QStringLiteral("Image file:")),
      m_browse(QStringLiteral("...")),
      m_info(QString::fromUtf8(VhdInputDialog::kInfoGroup)),
      m_versionLabel(QStringLiteral("File Format Version:")),
      m_sizeLabel(QString::fromUtf8(VhdInputDialog::kSize)),
      m_sizeUnit(QStringLiteral("MB")),
      m_blockSizeLabel(QString::fromUtf8(VhdInputDialog::kBlockSize)),
      m_sectorSizeLabel(QString::fromUtf8(VhdInputDialog::kLogicalSectorSize)) {
  auto layout = std::make_unique<QVBoxLayout>();
  auto pathRow = std::make_unique<QHBoxLayout>();
  pathRow->addWidget(&m_pathLabel);
  m_pathLabel.setBuddy(&m_path);
  pathRow->addWidget(&m_path, 1);
  pathRow->addWidget(&m_browse);
  layout->addLayout(pathRow.release());

  auto form = std::make_unique<QFormLayout>();
  form->addRow(&m_versionLabel, &m_version);
  auto sizeRow = std::make_unique<QHBoxLayout>();
  sizeRow->addWidget(&m_size);
  sizeRow->addWidget(&m_sizeUnit);
  form->addRow(&m_sizeLabel, sizeRow.release());
  m_sizeLabel.setBuddy(&m_size);
  m_blockSizeLabel.setBuddy(&m_blockSize);
  m_sectorSizeLabel.setBuddy(&m_sectorSize);
  form->addRow(&m_blockSizeLabel, &m_blockSize);
  form->addRow(&m_sectorSizeLabel, &m_sectorSize);
  m_info.setLayout(form.release());
  layout->addWidget(&m_info);
  layout->addStretch(1);
  addButtonRow(*layout, false, true);
  setLayout(layout.release());
  resize(560, 320);

  m_controller.onOpen();
  m_binding.bindField(VhdInputDialog::kPath, m_path, true);
  m_binding.bindWidget(VhdInputDialog::kInfoGroup, m_info);
  m_binding.bindLabel(VhdInputDialog::kFileVersion, m_version);
  m_binding.bindWidget(VhdInputDialog::kFileVersion, m_versionLabel);
  for (auto [id, field, label] : {std::tuple{VhdInputDialog::kSize, &m_size, &m_sizeLabel},
                                  std::tuple{VhdInputDialog::kBlockSize, &m_blockSize, &m_blockSizeLabel},
                                  std::tuple{VhdInputDialog::kLogicalSectorSize, &m_sectorSize, &m_sectorSizeLabel}}) {
    m_binding.bindField(id, *field);
    m_binding.bindWidget(id, *label);
  }
  m_binding.bindWidget(VhdInputDialog::kSize, m_sizeUnit);
  m_binding.bindButton(VhdInputDialog::kNext, nextButton());

  connect(&m_browse, &QPushButton::clicked, this, &ImagePage::browse);
  connect(&nextButton(), &QPushButton::clicked, this, &ImagePage::next);
}

ImagePage::~ImagePage() { m_sink.detach(); }

void ImagePage::browse() {
  QFileDialog dialog(this, QString::fromUtf8(kApplicationTitle));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilters(nameFiltersOf(VhdInputDialog::kDiskImagesFilter) + nameFiltersOf(VhdInputDialog::kFileFilter) +
                        nameFiltersOf(VhdInputDialog::kOtherImagesFilter) + nameFiltersOf(VhdInputDialog::kAllFilesFilter));
  std::optional<std::string> picked;
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    picked = dialog.selectedFiles().constFirst().toStdString();
  m_controller.onBrowseClosed(picked);
}

void ImagePage::next() {
  if (!m_controller.onNext()) return;
  m_wizard.openPage(std::make_unique<ScanModePage>(m_wizard, m_view));
}

}  // namespace tessary::ui
