#include <sys/resource.h>
#include <unistd.h>

#include "common/Thread.h"

namespace wavecrate {

void LowerThisThreadsPriority() {
  // On Linux the nice value belongs to the thread (its id as the "process").
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

}  // namespace wavecrate
