#include "device_source.h"

#include "device.h"
#include "usb_port.h"

#include <fnmatch.h>
#include <libudev.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>

namespace {

// Where udev does not run, the bus is looked at this often.
const long long POLL_INTERVAL_MS = 1000;

// Room for udev's announcements while the supervisor is busy: a bench of
// devices switching at once announces a few hundred.
const int ANNOUNCEMENT_BUFFER_BYTES = 4 * 1024 * 1024;

long long nowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// hidapi gives serial numbers as wide strings in the user's character set.
std::string utf8Of(const std::wstring &wide)
{
    std::string text;
    mbstate_t state = {};
    char bytes[MB_LEN_MAX];
    for (wchar_t c : wide) {
        size_t length = wcrtomb(bytes, c, &state);
        if (length != static_cast<size_t>(-1))
            text.append(bytes, length);
    }
    return text;
}

bool hasValue(const char *actual, const char *wanted)
{
    return actual != nullptr && strcmp(actual, wanted) == 0;
}

// The ondrix device an added hidraw node belongs to, read from udev's
// record: its port, mode and serial number (the hid device's HID_UNIQ,
// which is what the HID layer lists).
bool ondrixSightingOf(udev_device *hidraw, DeviceSighting *sighting)
{
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
    if (usb == nullptr || !hasValue(udev_device_get_sysattr_value(usb, "idVendor"), "040e"))
        return false;
    const char *product = udev_device_get_sysattr_value(usb, "idProduct");
    if (!hasValue(product, "f408") && !hasValue(product, "f003"))
        return false;
    sighting->port = usbPortOfDevice(usb);
    sighting->in_bootloader = hasValue(product, "f003");
    udev_device *hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    const char *serial = hid != nullptr ? udev_device_get_property_value(hid, "HID_UNIQ") : nullptr;
    sighting->serial = serial != nullptr ? serial : "";
    return true;
}

// udev's announcements of what arrives and leaves, as it is done with it.
class UdevAnnouncements {
public:
    UdevAnnouncements(struct udev *udev, udev_monitor *monitor) : udev_(udev), monitor_(monitor) {}
    ~UdevAnnouncements()
    {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    UdevAnnouncements(const UdevAnnouncements &) = delete;
    UdevAnnouncements &operator=(const UdevAnnouncements &) = delete;

    int fd() const { return udev_monitor_get_fd(monitor_); }

    void take(std::vector<DeviceSighting> &sightings)
    {
        while (udev_device *dev = udev_monitor_receive_device(monitor_)) {
            DeviceSighting sighting;
            const char *action = udev_device_get_action(dev);
            const char *subsystem = udev_device_get_subsystem(dev);
            if (hasValue(action, "add") && hasValue(subsystem, "hidraw") && ondrixSightingOf(dev, &sighting)) {
                sightings.push_back(sighting);
            } else if (hasValue(action, "remove") && hasValue(subsystem, "usb")) {
                // What left is known only by its port: its attributes went with it.
                sighting.arrived = false;
                sighting.port = udev_device_get_sysname(dev);
                sightings.push_back(sighting);
            }
            udev_device_unref(dev);
        }
    }

private:
    struct udev *udev_;
    udev_monitor *monitor_;
};

// A look at the bus: what is there now and was not at the last look has
// arrived; what is gone has left.
class BusLooks {
public:
    BusLooks() { remember(attachedOndrixDevices()); }

    void take(std::vector<DeviceSighting> &sightings)
    {
        std::vector<DeviceSighting> now = attachedOndrixDevices();
        settle(now);
        for (const DeviceSighting &device : now) {
            auto before = seen_.find(device.port);
            bool changed = before != seen_.end() && (before->second.in_bootloader != device.in_bootloader ||
                                                     before->second.serial != device.serial);
            // A device changes its mode or serial number only by leaving
            // the bus and coming back.
            if (changed)
                sightings.push_back(DeviceSighting{false, device.port, "", false});
            if (before == seen_.end() || changed)
                sightings.push_back(device);
        }
        for (const auto &[port, device] : seen_)
            if (std::none_of(now.begin(), now.end(), [&](const DeviceSighting &d) { return d.port == port; }))
                sightings.push_back(DeviceSighting{false, port, device.serial, device.in_bootloader});
        remember(now);
    }

    // What udev announced is known before the next look.
    void note(const DeviceSighting &sighting)
    {
        if (sighting.arrived)
            seen_[sighting.port] = sighting;
        else
            seen_.erase(sighting.port);
    }

    // What the device did during its update is not news: the next look
    // takes its port as it finds it.
    void updateEnded(const std::string &port) { settling_.insert(port); }

private:
    void settle(const std::vector<DeviceSighting> &now)
    {
        for (const std::string &port : settling_) {
            seen_.erase(port);
            for (const DeviceSighting &device : now)
                if (device.port == port)
                    seen_[port] = device;
        }
        settling_.clear();
    }

    void remember(const std::vector<DeviceSighting> &devices)
    {
        seen_.clear();
        for (const DeviceSighting &device : devices)
            seen_[device.port] = device;
    }

    std::map<std::string, DeviceSighting> seen_;
    std::set<std::string> settling_;
};

// udev's announcements where it runs. Where it does not (a container, a
// build machine) nothing may announce anything, so the bus is also looked
// at once a second; what both report twice, the supervisor knows already.
class Arrivals : public DeviceSource {
public:
    Arrivals(std::unique_ptr<UdevAnnouncements> announcements, bool look_too)
        : announcements_(std::move(announcements)),
          looks_(look_too ? std::make_unique<BusLooks>() : nullptr), next_look_(nowMs() + POLL_INTERVAL_MS)
    {
    }

    int fd() const override { return announcements_ != nullptr ? announcements_->fd() : -1; }

    int timeoutMs() const override
    {
        return looks_ != nullptr ? static_cast<int>(std::max(0LL, next_look_ - nowMs())) : -1;
    }

    bool polls() const override { return looks_ != nullptr; }

    void updateEnded(const std::string &port) override
    {
        if (looks_ != nullptr)
            looks_->updateEnded(port);
    }

    std::vector<DeviceSighting> take() override
    {
        std::vector<DeviceSighting> sightings;
        if (announcements_ != nullptr)
            announcements_->take(sightings);
        if (looks_ != nullptr)
            for (const DeviceSighting &sighting : sightings)
                looks_->note(sighting);
        if (looks_ != nullptr && nowMs() >= next_look_) {
            looks_->take(sightings);
            next_look_ = nowMs() + POLL_INTERVAL_MS;
        }
        return sightings;
    }

private:
    std::unique_ptr<UdevAnnouncements> announcements_;
    std::unique_ptr<BusLooks> looks_;
    long long next_look_;
};

udev_monitor *listenForOndrixDevices(struct udev *udev)
{
    udev_monitor *monitor = udev_monitor_new_from_netlink(udev, "udev");
    if (monitor == nullptr)
        return nullptr;
    udev_monitor_set_receive_buffer_size(monitor, ANNOUNCEMENT_BUFFER_BYTES);
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0)
        return udev_monitor_unref(monitor);
    return monitor;
}

bool udevRuns(struct udev *udev)
{
    udev_queue *queue = udev_queue_new(udev);
    bool active = queue != nullptr && udev_queue_get_udev_is_active(queue) > 0;
    udev_queue_unref(queue);
    return active;
}

} // namespace

bool PortPatterns::match(const std::string &port) const
{
    return patterns_.empty() || std::any_of(patterns_.begin(), patterns_.end(), [&](const std::string &pattern) {
               return fnmatch(pattern.c_str(), port.c_str(), 0) == 0;
           });
}

std::vector<DeviceSighting> attachedOndrixDevices()
{
    std::vector<DeviceSighting> sightings;
    for (const OndrixDevice &device : listOndrixDevices()) {
        bool known = std::any_of(sightings.begin(), sightings.end(),
                                 [&](const DeviceSighting &seen) { return seen.port == device.port; });
        if (!device.port.empty() && !known)
            sightings.push_back(DeviceSighting{true, device.port, utf8Of(device.serial), device.in_bootloader});
    }
    std::sort(sightings.begin(), sightings.end(), [](const DeviceSighting &a, const DeviceSighting &b) {
        return portPathLess(a.port, b.port);
    });
    return sightings;
}

std::unique_ptr<DeviceSource> watchForArrivals()
{
    struct udev *udev = udev_new();
    bool udev_runs = udev != nullptr && udevRuns(udev);
    udev_monitor *monitor = udev != nullptr ? listenForOndrixDevices(udev) : nullptr;
    std::unique_ptr<UdevAnnouncements> announcements;
    if (monitor != nullptr)
        announcements = std::make_unique<UdevAnnouncements>(udev, monitor);
    else
        udev_unref(udev);
    return std::make_unique<Arrivals>(std::move(announcements), !udev_runs || monitor == nullptr);
}
