// A notification as a line of pldctl's output: a value change with its point's label and unit
// as the engine gives them and its data decoded by the point's type in the catalogue; an event
// with its label.
#ifndef PLDCTL_NOTIFICATIONS_H
#define PLDCTL_NOTIFICATIONS_H

#include <string>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "sim/SimEngine.h"

namespace pldctl {

// The proxy and catalogue the lines are made with, while it lives. The callbacks that draining
// calls get no context, hence a process-wide one; it ends before the catalogue goes and the
// proxy stops.
class NotificationLines {
  public:
    NotificationLines(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue);
    ~NotificationLines();
    NotificationLines(const NotificationLines&) = delete;
    NotificationLines& operator=(const NotificationLines&) = delete;
};

std::string ValueChangeLine(const ZvValChgInfo& info);
std::string EventLine(const ZvVEventInfo& info);

}  // namespace pldctl

#endif
