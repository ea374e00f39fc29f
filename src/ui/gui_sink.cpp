// The GUI's page sink: each call runs on the UI thread while the calling worker waits for it.
#include "ui/gui_sink.h"

#include <limits>
#include <memory>

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QThread>
#include <QWidget>

namespace tessary::ui {

namespace {

int clampToInt(std::int64_t value) {
  if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

QString title() { return QString::fromUtf8(kApplicationTitle); }

}  // namespace

GuiSink::GuiSink(QWidget& owner) : m_owner(owner) {}

GuiSink::~GuiSink() { detach(); }

void GuiSink::setStatusLabel(QLabel* label) { m_status = label; }
void GuiSink::setSizeLabel(QLabel* label) { m_sizeLine = label; }
void GuiSink::setProgressBar(QProgressBar* bar) { m_progress = bar; }
void GuiSink::setProgressText(QLabel* label) { m_progressText = label; }

void GuiSink::detach() {
  {
    std::lock_guard lock(m_mutex);
    m_detached = true;
  }
  m_finished.notify_all();
}

bool GuiSink::detached() const {
  std::lock_guard lock(m_mutex);
  return m_detached;
}

template <typename R, typename F>
R GuiSink::onUiThread(R fallback, F&& call) {
  if (QThread::currentThread() == thread()) return detached() ? fallback : call();

  struct Pending {
    bool finished = false;
    R result{};
  };
  auto pending = std::make_shared<Pending>();
  if (detached()) return fallback;
  // The sink is the call's context: should it be destroyed first, Qt drops the call, and detach() has
  // released the waiting worker already.
  QMetaObject::invokeMethod(
      this,
      [this, pending, fallback, call = std::forward<F>(call)]() mutable {
        const R result = detached() ? fallback : call();
        {
          std::lock_guard lock(m_mutex);
          pending->result = result;
          pending->finished = true;
        }
        m_finished.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(m_mutex);
  m_finished.wait(lock, [&] { return pending->finished || m_detached; });
  return pending->finished ? pending->result : fallback;
}

void GuiSink::setStatus(const std::string& text) {
  onUiThread(false, [this, text] {
    if (m_status) m_status->setText(QString::fromStdString(text));
    return true;
  });
}

void GuiSink::setSizeLine(const std::string& text) {
  onUiThread(false, [this, text] {
    if (m_sizeLine) m_sizeLine->setText(QString::fromStdString(text));
    return true;
  });
}

void GuiSink::postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) {
  const ProgressAmount amount = progressAmount();
  onUiThread(false, [this, id, first, second, amount] {
    if (id == kMsgProgressRange) {
      m_estimate.range(first, second, amount);
    } else if (id == kMsgProgressPosition) {
      m_estimate.position(first);
    }
    if (m_progressText) {
      std::string text = m_estimate.doneText();
      const std::string left = m_estimate.remainingText();
      if (!text.empty() && !left.empty()) text += ", ";
      m_progressText->setText(QString::fromStdString(text + left));
    }
    if (!m_progress) return false;
    if (id == kMsgProgressRange) {
      m_progress->setRange(clampToInt(first), clampToInt(second));
    } else if (id == kMsgProgressPosition) {
      m_progress->setValue(clampToInt(first));
    }
    return true;
  });
}

void GuiSink::showMessage(const std::string& text) {
  onUiThread(false, [this, text] {
    QMessageBox box(QMessageBox::Information, title(), QString::fromStdString(text), QMessageBox::Ok, &m_owner);
    box.exec();
    return true;
  });
}

bool GuiSink::askYesNo(const std::string& text) {
  return onUiThread(false, [this, text] {
    QMessageBox box(QMessageBox::Question, title(), QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                    &m_owner);
    return box.exec() == QMessageBox::Yes;
  });
}

}  // namespace tessary::ui
