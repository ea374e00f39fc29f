// The advanced-input page ("ADVANCE OPTIONS"): the "Advanced Input:" group with the candidate, cluster-size
// and heap-offset lists, the progress bar and status line, Pause, Resume and Stop; Next (enabled once the
// entry worker has ended) opens the results page in mode 2 on this page's parser.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/advance_options.h"
#include "platform/page_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/view_binding.h"

namespace tessary::ui {

class AdvanceOptionsPage : public PageWindow {
  Q_OBJECT

 public:
  explicit AdvanceOptionsPage(Wizard& wizard);
  ~AdvanceOptionsPage() override;

  void leave() override;

  advanceOptions& controller() { return m_controller; }
  PageView& view() { return m_view; }

 private:
  void next();

  PageView m_view;
  GuiSink m_sink;
  advanceOptions m_controller;
  ViewBinding m_binding;

  QLabel m_heading;
  QLabel m_counter;
  QGroupBox m_group;
  QLabel m_candidatesLabel;
  QComboBox m_candidates;
  QLabel m_clusterSizesLabel;
  QComboBox m_clusterSizes;
  QLabel m_heapOffsetsLabel;
  QComboBox m_heapOffsets;
  QProgressBar m_progress;
  QLabel m_progressText;
  QLabel m_status;
  QPushButton m_pause;
  QPushButton m_resume;
  QPushButton m_stop;
};

}  // namespace tessary::ui
