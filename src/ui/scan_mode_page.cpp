// The scan-mode page's window.
#include "ui/scan_mode_page.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/volume_list_page.h"
#include "ui/wizard.h"

namespace tessary::ui {

namespace {
QString text(const char* id) { return QString::fromUtf8(id); }
}  // namespace

ScanModePage::ScanModePage(Wizard& wizard, const PageView& imageView)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), imageView, m_view, m_sink),
      m_binding(m_view),
      m_driveLabel(text(DriveParsingModes::kCurrentDrive)),
      m_standard(text(DriveParsingModes::kStandardScan)),
      m_advance(text(DriveParsingModes::kAdvanceScan)),
      m_gpt(text(DriveParsingModes::kGptFormat)),
      m_doNotSkip(text(DriveParsingModes::kDoNotSkip)),
      m_custom(text(DriveParsingModes::kCustomSetting)),
      m_startLabel(text(DriveParsingModes::kStartingSector)),
      m_endLabel(text(DriveParsingModes::kEndingSector)),
      m_saveDiskImage(text(DriveParsingModes::kSaveDiskImage)),
      m_saveImage(text(DriveParsingModes::kSaveImage)),
      m_stop(QStringLiteral("Stop")) {
  auto layout = std::make_unique<QVBoxLayout>();
  auto driveRow = std::make_unique<QHBoxLayout>();
  driveRow->addWidget(&m_driveLabel);
  driveRow->addWidget(&m_drive, 1);
  m_drive.setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addLayout(driveRow.release());

  auto scan = std::make_unique<QVBoxLayout>();
  // The controller decides which of the two is ticked.
  m_standard.setAutoExclusive(false);
  m_advance.setAutoExclusive(false);
  scan->addWidget(&m_standard);
  scan->addWidget(&m_advance);
  scan->addWidget(&m_gpt);
  scan->addWidget(&m_doNotSkip);
  scan->addWidget(&m_custom);
  auto sectors = std::make_unique<QFormLayout>();
  sectors->addRow(&m_startLabel, &m_start);
  sectors->addRow(&m_endLabel, &m_end);
  m_startLabel.setBuddy(&m_start);
  m_endLabel.setBuddy(&m_end);
  scan->addLayout(sectors.release());
  m_scan.setLayout(scan.release());
  layout->addWidget(&m_scan);

  auto exportRow = std::make_unique<QHBoxLayout>();
  exportRow->addWidget(&m_saveDiskImage);
  exportRow->addWidget(&m_saveImage);
  exportRow->addWidget(&m_imagePath, 1);
  layout->addLayout(exportRow.release());
  auto progressRow = std::make_unique<QHBoxLayout>();
  progressRow->addWidget(&m_progress, 1);
  progressRow->addWidget(&m_progressText);
  progressRow->addWidget(&m_stop);
  layout->addLayout(progressRow.release());
  layout->addWidget(&m_status);
  m_sink.setStatusLabel(&m_status);
  m_sink.setProgressBar(&m_progress);
  m_sink.setProgressText(&m_progressText);
  layout->addStretch(1);
  addButtonRow(*layout, true, true);
  setLayout(layout.release());

  m_controller.onOpen();
  m_binding.bindLabel(DriveParsingModes::kCurrentDrive, m_drive);
  m_binding.bindButton(DriveParsingModes::kStandardScan, m_standard);
  m_binding.bindButton(DriveParsingModes::kAdvanceScan, m_advance);
  m_binding.bindButton(DriveParsingModes::kGptFormat, m_gpt);
  m_binding.bindButton(DriveParsingModes::kDoNotSkip, m_doNotSkip);
  m_binding.bindButton(DriveParsingModes::kCustomSetting, m_custom);
  m_binding.bindField(DriveParsingModes::kStartingSector, m_start);
  m_binding.bindField(DriveParsingModes::kEndingSector, m_end);
  m_binding.bindWidget(DriveParsingModes::kStartingSectorLabel, m_startLabel);
  m_binding.bindWidget(DriveParsingModes::kEndingSectorLabel, m_endLabel);
  m_binding.bindButton(DriveParsingModes::kNext, nextButton());
  m_binding.bindButton(DriveParsingModes::kBack, backButton());
  m_binding.bindButton(DriveParsingModes::kSaveDiskImage, m_saveDiskImage);
  m_binding.bindButton(DriveParsingModes::kSaveImage, m_saveImage);
  m_binding.bindField(DriveParsingModes::kImagePath, m_imagePath, true);
  m_view.setEnabled(DriveParsingModes::kImagePath, false);
  m_binding.bindWidget(DriveParsingModes::kProgress, m_progress);
  m_binding.bindButton(DriveParsingModes::kStop, m_stop);

  connect(&m_standard, &QRadioButton::clicked, this, [this] { m_controller.onStandardScan(); });
  connect(&m_advance, &QRadioButton::clicked, this, [this] { m_controller.onAdvanceScan(); });
  connect(&m_gpt, &QCheckBox::clicked, this, [this](bool checked) { m_controller.onGptFormat(checked); });
  connect(&m_doNotSkip, &QCheckBox::clicked, this, [this](bool checked) { m_controller.onDoNotSkip(checked); });
  connect(&m_custom, &QCheckBox::clicked, this, [this](bool checked) { m_controller.onCustomSetting(checked); });
  connect(&m_saveDiskImage, &QCheckBox::clicked, this, [this](bool checked) { m_controller.onSaveDiskImage(checked); });
  connect(&m_saveImage, &QPushButton::clicked, this, &ScanModePage::saveImage);
  connect(&m_stop, &QPushButton::clicked, this, [this] { m_controller.onStop(); });
  connect(&nextButton(), &QPushButton::clicked, this, &ScanModePage::next);
}

void ScanModePage::leave() {
  m_controller.stopExport = 1;
  m_sink.detach();
  m_controller.waitForExport();
}

void ScanModePage::saveImage() {
  m_controller.onSaveImage([this]() -> std::optional<std::string> {
    const QString folder = QFileDialog::getExistingDirectory(this, QString::fromUtf8(DriveParsingModes::kFolderTitle));
    if (folder.isEmpty()) return std::nullopt;
    return folder.toStdString();
  });
}

ScanModePage::~ScanModePage() { m_sink.detach(); }

void ScanModePage::next() {
  m_controller.onNext([this] {
    m_wizard.openPage(std::make_unique<VolumeListPage>(m_wizard));
    return true;
  });
}

}  // namespace tessary::ui
