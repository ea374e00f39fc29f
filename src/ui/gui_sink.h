// The GUI's page sink: status lines, progress messages, message boxes and Yes/No questions from any thread
// are carried out on the UI thread, and the calling worker waits there until they are done (and answered).
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include <QObject>
#include <QPointer>

#include "platform/page_sink.h"
#include "platform/progress_estimate.h"

class QLabel;
class QProgressBar;
class QWidget;

namespace tessary::ui {

class GuiSink : public QObject, public PageSink {
  Q_OBJECT

 public:
  // Message boxes are shown over `owner`.
  explicit GuiSink(QWidget& owner);
  ~GuiSink() override;
  GuiSink(const GuiSink&) = delete;
  GuiSink& operator=(const GuiSink&) = delete;

  // The page's status line, size line and progress bar; a page without one leaves it unset.
  void setStatusLabel(QLabel* label);
  void setSizeLabel(QLabel* label);
  void setProgressBar(QProgressBar* bar);
  // The label beside the bar: what is done and the time left, where known.
  void setProgressText(QLabel* label);

  void setStatus(const std::string& text) override;
  void setSizeLine(const std::string& text) override;
  void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) override;
  void showMessage(const std::string& text) override;
  bool askYesNo(const std::string& text) override;

  // The page is going away: workers waiting on the UI thread return at once (a question counts as No)
  // and later calls are dropped, so the UI thread may then wait for its workers without a deadlock.
  void detach();
  bool detached() const;

 private:
  template <typename R, typename F>
  R onUiThread(R fallback, F&& call);

  QWidget& m_owner;
  QPointer<QLabel> m_status;
  QPointer<QLabel> m_sizeLine;
  QPointer<QProgressBar> m_progress;
  QPointer<QLabel> m_progressText;
  ProgressEstimate m_estimate;  // used on the UI thread only

  mutable std::mutex m_mutex;
  std::condition_variable m_finished;
  bool m_detached = false;
};

}  // namespace tessary::ui
