#include "bus_events.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>

namespace {

void carry_out(const BusEvent &event)
{
    switch (event.action) {
    case BusAction::plug: ondrix_plug(event.port, event.mode); break;
    case BusAction::unplug: ondrix_unplug(event.port); break;
    case BusAction::replug: ondrix_replug(event.port); break;
    }
}

gboolean on_time(gpointer event)
{
    carry_out(*static_cast<const BusEvent *>(event));
    return G_SOURCE_REMOVE;
}

gboolean on_signal(gpointer data)
{
    BusSchedule &schedule = *static_cast<BusSchedule *>(data);
    std::vector<BusEvent> &events = schedule.events;
    size_t &next = schedule.next_signalled;
    while (next < events.size() && events[next].at_ms >= 0)
        next++;
    if (next == events.size())
        g_printerr("ondrix-sim: warning: SIGUSR2, but no event waits for it\n");
    else
        carry_out(events[next++]);
    return G_SOURCE_CONTINUE;
}

} // namespace

void listen_for_bus_signals(BusSchedule &schedule)
{
    g_unix_signal_add(SIGUSR2, on_signal, &schedule);
}

void start_bus_clock(BusSchedule &schedule)
{
    for (BusEvent &event : schedule.events)
        if (event.at_ms >= 0)
            g_timeout_add(event.at_ms, on_time, &event);
}
