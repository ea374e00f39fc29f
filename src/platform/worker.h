// Worker threads: one std::thread per job, a byte stop flag polled by the job, and a pause gate that the
// job passes at the same points where it polls its stop flag.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tessary {

// Set by a Stop button, polled by the worker at its loop heads.
using StopFlag = std::atomic<std::uint8_t>;

// Pause and Resume: while paused, a worker that reaches the gate waits there.
class PauseGate {
 public:
  void pause();
  void resume();
  bool paused() const;
  // Blocks while the gate is closed.
  void pass();

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_opened;
  bool m_paused = false;
};

// What a long loop checks at each step: waits at the gate, then reports the stop flag.
class WorkerControl {
 public:
  WorkerControl() = default;
  WorkerControl(StopFlag* stop, PauseGate* gate) : m_stop(stop), m_gate(gate) {}
  bool shouldStop() const {
    if (m_gate) m_gate->pass();
    return m_stop && m_stop->load(std::memory_order_relaxed) != 0;
  }

 private:
  StopFlag* m_stop = nullptr;
  PauseGate* m_gate = nullptr;
};

class Worker {
 public:
  Worker() = default;
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the job on a new thread; an earlier job is joined first. Exceptions never leave the thread.
  void start(std::function<void()> job);
  bool running() const { return m_running.load(); }
  void join();
  PauseGate& gate() { return m_gate; }

 private:
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  PauseGate m_gate;
};

}  // namespace tessary
