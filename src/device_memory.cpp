#include "device_memory.h"

#include <algorithm>

std::string DeviceMemory::keyOf(const DeviceSighting &device)
{
    return device.serial.empty() ? "port " + device.port : "serial " + device.serial;
}

Verdict DeviceMemory::arrived(const DeviceSighting &device, double now)
{
    auto found = records_.find(keyOf(device));
    if (found == records_.end())
        return Verdict::take_up;
    Record &record = found->second;
    if (device.in_bootloader && !record.left_since_end && device.port == record.port)
        return Verdict::ignore; // the bootloader its update ended in
    if (!record.updated)
        return Verdict::take_up; // failed before, and plugged in anew
    bool by_port = device.serial.empty();
    if (by_port && now - record.last_seen_leaving > SAME_DEVICE_SECONDS) {
        records_.erase(found); // another device, plugged into the same port
        return Verdict::take_up;
    }
    if (by_port)
        record.last_seen_leaving = now;
    if (record.said_already_updated)
        return Verdict::ignore;
    record.said_already_updated = true;
    return Verdict::already_updated;
}

void DeviceMemory::left(const std::string &port, double now)
{
    for (auto &[key, record] : records_)
        if (record.port == port) {
            record.last_seen_leaving = std::max(record.last_seen_leaving, now);
            record.said_already_updated = false; // its next arrival is a return of its own
            record.left_since_end = true;
        }
}

void DeviceMemory::ended(const DeviceSighting &device, bool updated, double now)
{
    Record &record = records_[keyOf(device)];
    record.updated = updated;
    record.said_already_updated = false;
    record.left_since_end = false;
    record.port = device.port;
    record.last_seen_leaving = now;
}
