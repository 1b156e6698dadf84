// A wake-up between two steps of a job: the thread that steps the job sleeps
// on it for at most the step period, and the line's receive thread signals it
// as soon as what the last step armed has come, so the next step runs at once
// instead of at the end of the period. Auto-reset: one signal wakes one wait.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace bricola {

class CSveglia {
 public:
  CSveglia() = default;
  CSveglia(const CSveglia&) = delete;
  CSveglia& operator=(const CSveglia&) = delete;

  // Wakes the waiter (or the next wait, when none is waiting now), then calls
  // the notice, when one is set. Any thread.
  void Segnala();
  // Forgets a signal not yet taken (a new arming makes the old one stale).
  void Azzera();
  // Waits at most ms milliseconds for a signal and takes it. true when
  // signalled, false when the whole time passed.
  bool Attendi(int ms);
  // A thread that cannot block (a window's timer) gets a call from the
  // signalling thread instead, for example to post itself an early tick. The
  // notice must be quick and must not call back into the interface. Empty:
  // none. Once this returns, the notice it replaced is no longer running
  // anywhere and will not be called again.
  void ImpostaAvviso(std::function<void()> avviso);

 private:
  std::mutex mutex;
  std::condition_variable cv;
  bool segnalata = false;
  // Held while the notice runs, so that replacing it waits for a call in progress.
  std::mutex mutexAvviso;
  std::function<void()> avvisoSegnale;
};

}  // namespace bricola
