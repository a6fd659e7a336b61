// The descriptors the daemon may open, and how many of them its connections may take.
#ifndef PLD_ENGINED_DESCRIPTOR_LIMIT_H
#define PLD_ENGINED_DESCRIPTOR_LIMIT_H

#include "EventLoop.h"

namespace pldengined {

// Each connection takes a descriptor: the soft limit goes up to the hard one, and connections are
// served only as far as they leave the daemon the descriptors of its own that it may need at any
// time (saving the state file takes two, a restart or a scenario one more), so that a write is
// never answered 13 for want of one.
void FitDescriptorLimit(Limits& limits);

}  // namespace pldengined

#endif
