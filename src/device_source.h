#ifndef FWLAUNCH_DEVICE_SOURCE_H
#define FWLAUNCH_DEVICE_SOURCE_H

#include <memory>
#include <string>
#include <vector>

// Where the supervisor of several updates takes its devices from: the
// ondrix devices attached at this moment (--all), then, for --watch, each
// one that arrives later, as udev announces it once it has finished with
// it, or, where udev does not run, as a look once a second finds it.

// An ondrix device that is there (arrived) or has left its port.
struct DeviceSighting {
    bool arrived = true;      // false: the device on `port` left the bus
    std::string port;
    std::string serial;       // UTF-8; empty when it has none
    bool in_bootloader = false;
};

// The shell-style patterns of --port (3-2.* is every port behind the hub
// on 3-2); none matches every port.
class PortPatterns {
public:
    void add(const std::string &pattern) { patterns_.push_back(pattern); }
    bool empty() const { return patterns_.empty(); }
    bool match(const std::string &port) const;

private:
    std::vector<std::string> patterns_;
};

// The ondrix devices attached now, one per port, in the order of the bus.
std::vector<DeviceSighting> attachedOndrixDevices();

class DeviceSource {
public:
    virtual ~DeviceSource() = default;
    // Polled for reading by the supervisor; -1 when there is nothing to poll.
    virtual int fd() const { return -1; }
    // How long the supervisor may wait before calling take(); -1: forever.
    virtual int timeoutMs() const { return -1; }
    // What has arrived and left since the last call.
    virtual std::vector<DeviceSighting> take() = 0;
    // Whether it also looks once a second, udev not running.
    virtual bool polls() const { return false; }
    // An update of the device on `port` has ended: whatever that device
    // did meanwhile (its switch, a failure in its bootloader) is not news.
    virtual void updateEnded(const std::string & /*port*/) {}
};

// Arrivals and departures as udev announces them; where udev does not
// run, also what a look at the bus once a second finds. Created before the
// attached devices are listed, so that none arriving in between is missed.
std::unique_ptr<DeviceSource> watchForArrivals();

#endif
