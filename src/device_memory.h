#ifndef FWLAUNCH_DEVICE_MEMORY_H
#define FWLAUNCH_DEVICE_MEMORY_H

#include "device_source.h"

#include <map>
#include <string>

// What a watch remembers of the devices it has updated, so that none is
// updated twice. A device is known by its serial number; one without is
// known by its port, and one that comes back to that port within a few
// seconds of the last device leaving it (or of its update's end) is taken
// for the same device: its own reset into normal mode after the download.
// udev may announce a bootloader after the update that used it has ended
// (its rules took longer than the download): a bootloader that has not
// left its port since is no news.

// Seconds within which a device without a serial number that comes back
// to its port is the one that left it.
const double SAME_DEVICE_SECONDS = 5;

enum class Verdict {
    take_up,          // update it
    already_updated,  // updated in this watch; say so, once each time it returns
    ignore,           // updated, and already said so since it last left
};

class DeviceMemory {
public:
    // A device was sighted on a port with no update under way.
    Verdict arrived(const DeviceSighting &device, double now);
    // The device on `port` left the bus.
    void left(const std::string &port, double now);
    // A device's update ended.
    void ended(const DeviceSighting &device, bool updated, double now);

private:
    struct Record {
        bool updated = false;
        bool left_since_end = false;
        bool said_already_updated = false;
        std::string port;
        double last_seen_leaving = -1; // its port's last departure, or its update's end
    };

    static std::string keyOf(const DeviceSighting &device);

    std::map<std::string, Record> records_;
};

#endif
