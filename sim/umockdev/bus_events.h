// Ondrix devices plugged in, unplugged and replugged while the command
// runs, at set times or on a signal.
#ifndef ONDRIX_SIM_BUS_EVENTS_H
#define ONDRIX_SIM_BUS_EVENTS_H

#include "ondrix_device.h"

#include <optional>
#include <string>
#include <vector>

enum class BusAction { plug, unplug, replug };

struct BusEvent {
    BusAction action = BusAction::plug;
    int at_ms = 0;                        // after the command started; negative: at a SIGUSR2
    std::string port;                     // of a plug: the port its device took at start
    OndrixMode mode = OndrixMode::normal; // of a plug
    std::optional<std::string> serial;    // of a plug: none given, numbered
};

struct BusSchedule {
    std::vector<BusEvent> events;  // in the order given
    size_t next_signalled = 0;     // where to look for the next event a SIGUSR2 carries out
};

// From now on, each SIGUSR2 carries out the next event that waits for one
// (a signal that finds none left draws a warning). Signals do not queue:
// two sent at once may count as one.
void listen_for_bus_signals(BusSchedule &schedule);

// Starts the clock of the events set at a time.
void start_bus_clock(BusSchedule &schedule);

#endif
