#include "gadgetfs.h"

#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// dummy_udc names its endpoints after a PXA250: ep1in-bulk and ep2out-bulk
// are the ones at our addresses. An endpoint named -bulk also serves
// interrupt transfers.
std::string endpoint_file(uint8_t address)
{
    return address & 0x80 ? "ep" + std::to_string(address & 0x7f) + "in-bulk"
                          : "ep" + std::to_string(address) + "out-bulk";
}

bool write_all(int fd, const Bytes &data)
{
    return write(fd, data.data(), data.size()) == ssize_t(data.size());
}

// Tag 0, the full-speed and the high-speed configuration (the same
// bytes), then the device descriptor.
Bytes controller_setup(const Bytes &descriptors)
{
    const Bytes device(descriptors.begin(), descriptors.begin() + 18);
    const Bytes configuration(descriptors.begin() + 18, descriptors.end());
    Bytes setup = {0, 0, 0, 0};
    append(setup, configuration);
    append(setup, configuration);
    append(setup, device);
    return setup;
}

GadgetEvent::Type event_type(uint32_t type)
{
    switch (type) {
    case GADGETFS_CONNECT: return GadgetEvent::CONNECT;
    case GADGETFS_DISCONNECT: return GadgetEvent::DISCONNECT;
    case GADGETFS_SETUP: return GadgetEvent::SETUP;
    case GADGETFS_SUSPEND: return GadgetEvent::SUSPEND;
    default: return GadgetEvent::NOTHING;
    }
}

} // namespace

bool gadget_connect(Gadget &gadget, const Bytes &descriptors)
{
    const std::string path = gadget.folder + "/" + gadget.controller;
    gadget.ep0 = open(path.c_str(), O_RDWR);
    if (gadget.ep0 < 0 || !write_all(gadget.ep0, controller_setup(descriptors))) {
        fprintf(stderr, "ondrix-gadget: cannot serve the device on %s: %s\n", path.c_str(),
                strerror(errno));
        gadget_disconnect(gadget);
        return false;
    }
    return true;
}

void gadget_disconnect(Gadget &gadget)
{
    for (auto &endpoint : gadget.endpoints)
        close(endpoint.second);
    gadget.endpoints.clear();
    if (gadget.ep0 >= 0)
        close(gadget.ep0);
    gadget.ep0 = -1;
}

int gadget_enable_endpoint(Gadget &gadget, const Bytes &descriptor)
{
    const uint8_t address = descriptor[2];
    auto known = gadget.endpoints.find(address);
    if (known != gadget.endpoints.end())
        return known->second;  // configured again after a reset: still enabled
    const std::string path = gadget.folder + "/" + endpoint_file(address);
    int fd = open(path.c_str(), O_RDWR);
    // Tag 1, then the full-speed and the high-speed endpoint descriptor.
    Bytes config = {1, 0, 0, 0};
    append(config, descriptor);
    append(config, descriptor);
    if (fd < 0 || !write_all(fd, config)) {
        fprintf(stderr, "ondrix-gadget: cannot enable %s: %s\n", path.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    gadget.endpoints[address] = fd;
    return fd;
}

std::vector<GadgetEvent> gadget_read_events(Gadget &gadget)
{
    usb_gadgetfs_event raw[16];
    ssize_t length = read(gadget.ep0, raw, sizeof raw);
    std::vector<GadgetEvent> events;
    for (ssize_t i = 0; length > 0 && i < length / ssize_t(sizeof raw[0]); i++) {
        const auto *packet = reinterpret_cast<const uint8_t *>(&raw[i].u.setup);
        events.push_back(GadgetEvent{event_type(raw[i].type), parse_setup(packet)});
    }
    return events;
}

bool gadget_read_out_data(Gadget &gadget, const Setup &setup, Bytes &data)
{
    data.assign(setup.length, 0);
    ssize_t length = read(gadget.ep0, data.data(), data.size());
    data.resize(std::max<ssize_t>(length, 0));
    return length == ssize_t(setup.length);
}

void gadget_answer(Gadget &gadget, const Setup &setup, const std::optional<Bytes> &reply)
{
    // On ep0, a read or write in the wrong direction stalls the request.
    uint8_t none = 0;
    if (setup.is_in() && reply)
        (void)!write(gadget.ep0, reply->data(), std::min<size_t>(reply->size(), setup.length));
    else if (setup.is_in())
        (void)!read(gadget.ep0, &none, 0);
    else if (reply && setup.length == 0)
        (void)!read(gadget.ep0, &none, 0);
    else if (!reply && setup.length == 0)
        (void)!write(gadget.ep0, &none, 0);
    // An OUT request with data was acknowledged when its data was read.
}
