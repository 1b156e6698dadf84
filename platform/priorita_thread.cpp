// Thread priority for the receive threads of the serial lines.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linea_seriale.h"

namespace bricola {

bool AlzaPrioritaThread() {
  // A real-time class at its lowest level is enough to be served before every
  // normal thread; it needs a privilege that a technician's account rarely has.
  sched_param parametro{};
  parametro.sched_priority = sched_get_priority_min(SCHED_RR);
  if (pthread_setschedparam(pthread_self(), SCHED_RR, &parametro) == 0) return true;
  // Otherwise a better nice value for this thread alone, where the limits allow it.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  return ::setpriority(PRIO_PROCESS, tid, -5) == 0;
}

}  // namespace bricola
