// Worker thread, stop flag and pause gate.
#include "platform/worker.h"

namespace tessary {

void PauseGate::pause() {
  std::lock_guard lock(m_mutex);
  m_paused = true;
}

void PauseGate::resume() {
  {
    std::lock_guard lock(m_mutex);
    m_paused = false;
  }
  m_opened.notify_all();
}

bool PauseGate::paused() const {
  std::lock_guard lock(m_mutex);
  return m_paused;
}

void PauseGate::pass() {
  std::unique_lock lock(m_mutex);
  m_opened.wait(lock, [this] { return !m_paused; });
}

Worker::~Worker() {
  m_gate.resume();
  join();
}

void Worker::start(std::function<void()> job) {
  join();
  m_running = true;
  m_thread = std::thread([this, job = std::move(job)] {
    try {
      job();
    } catch (...) {
      // A worker's failure ends the job; it never takes the process down with it.
    }
    m_running = false;
  });
}

void Worker::join() {
  if (m_thread.joinable()) m_thread.join();
}

}  // namespace tessary
