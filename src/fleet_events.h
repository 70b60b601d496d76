#ifndef FWLAUNCH_FLEET_EVENTS_H
#define FWLAUNCH_FLEET_EVENTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What happens while several devices are updated (--all, --watch), as one
// stream of events. The supervisor makes them; each view (the text on a
// terminal or in a log, JSON Lines, a log file per device) renders them.
// Times are seconds on the real-time clock.

// The firmware image, as the start names it.
struct ImageFacts {
    std::string path;   // as given on the command line
    uint64_t size = 0;
    std::string sha256; // lower-case hex
};

// How the run began.
struct FleetStart {
    double time = 0;
    bool watch = false;           // --watch; else --all
    ImageFacts image;
    std::vector<std::string> ports; // --all: the ports it takes up, in bus order
    size_t jobs = 0;              // at most this many at a time; 0: no limit
    size_t left_alone = 0;        // ondrix devices attached but on no port asked for
    bool polling = false;         // --watch where udev does not run: looks once a second
};

// A device taken up for an update.
struct FleetDevice {
    std::string port;
    std::string serial;       // empty when it has none
    bool in_bootloader = false;
    double taken_up_at = 0;
    double started_at = 0;    // when its update started (0 while queued)
};

enum class FleetStream { out, err };

// How one device's update ended.
struct FleetResult {
    // updated, failed, busy, interrupted, not started, timed out
    std::string outcome;
    // The child's exit status, 128 + N when signal N ended it; -1 when no
    // process ran.
    int exit_status = -1;
    int signal = 0;               // the signal that ended it; 0 when it exited
    std::string phase;            // the phase it was in at the end
    std::string last_error_line;  // the last line it wrote, empty if none
    std::string busy_holder;      // "process N", when busy and known
    bool left_in_bootloader = false;
    double time = 0;              // when it ended
    double seconds = 0;           // from its start to its end
};

struct FleetSummary {
    double time = 0;
    size_t updated = 0;
    size_t taken_up = 0;
    int exit_status = 0;
};

// A view of the run. Every call has a default that ignores the event.
class FleetView {
public:
    virtual ~FleetView() = default;
    virtual void started(const FleetStart &) {}
    virtual void takenUp(const FleetDevice &) {}
    // Phases: queued, starting, switching, waiting for the bootloader,
    // downloading.
    virtual void phase(const FleetDevice &, const std::string &, double /*time*/) {}
    // dfu-util's progress, 0 to 100, as often as it redraws its bar.
    virtual void progress(const FleetDevice &, int /*percent*/, double /*time*/) {}
    // A whole line the device's update wrote (carriage-return progress
    // reduced to its last state), without a line feed.
    virtual void line(const FleetDevice &, FleetStream, const std::string &, double /*time*/) {}
    virtual void result(const FleetDevice &, const FleetResult &) {}
    // --watch: a device updated earlier in this watch came back.
    virtual void alreadyUpdated(const FleetDevice &, double /*time*/) {}
    // --watch: whether it now waits for devices to be plugged in.
    virtual void waiting(bool /*waiting*/, double /*time*/) {}
    // The terminal hung up: nothing is to be drawn or written to it.
    virtual void terminalGone() {}
    virtual void summary(const FleetSummary &) {}
};

#endif
