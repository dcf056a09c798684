#include "platform/WorkspaceNotificationCenter.h"

#include <algorithm>

namespace tallyvane {

void WorkspaceNotificationCenter::addObserver(const void* observer, WorkspaceEvent event,
                                              Handler handler) {
    registrations_.push_back({observer, event, std::move(handler)});
}

void WorkspaceNotificationCenter::removeObserver(const void* observer) {
    std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer; });
}

void WorkspaceNotificationCenter::post(WorkspaceEvent event,
                                       const WorkspaceNotification& notification) {
    // A handler may register or drop observers; deliver to the registrations present now.
    std::vector<Handler> handlers;
    for (const auto& r : registrations_)
        if (r.event == event) handlers.push_back(r.handler);
    for (const auto& handler : handlers) handler(notification);
}

std::size_t WorkspaceNotificationCenter::registrations(const void* observer,
                                                       WorkspaceEvent event) const {
    return static_cast<std::size_t>(std::count_if(
        registrations_.begin(), registrations_.end(),
        [&](const Registration& r) { return r.observer == observer && r.event == event; }));
}

}  // namespace tallyvane
