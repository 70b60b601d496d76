#include "usb_model.h"

#include <glib.h>

#include <algorithm>

namespace {

enum DescriptorType : uint8_t {
    DEVICE = 1, CONFIGURATION = 2, STRING = 3, INTERFACE = 4, ENDPOINT = 5, HID = 0x21,
    HID_REPORT = 0x22,
};

enum StandardRequest : uint8_t { GET_DESCRIPTOR = 6, SET_CONFIGURATION = 9, SET_INTERFACE = 11 };

const uint8_t HID_SET_IDLE = 0x0a;
const uint16_t BCD_DEVICE = 0x0100;

std::optional<Bytes> string_descriptor(const Strings &strings, uint8_t index)
{
    if (index == 0)
        return Bytes{4, STRING, 0x09, 0x04};  // languages: en-US only
    if (string_index(strings, index) == 0)
        return std::nullopt;
    glong units = 0;
    gunichar2 *utf16 = g_utf8_to_utf16(strings[index - 1].c_str(), -1, nullptr, &units, nullptr);
    if (!utf16)
        return std::nullopt;
    units = std::min<glong>(units, 126);  // bLength is one byte
    Bytes d = {uint8_t(2 + 2 * units), STRING};
    for (glong i = 0; i < units; i++)
        put16(d, utf16[i]);
    g_free(utf16);
    return d;
}

std::optional<Bytes> get_descriptor(const Bytes &descriptors, const Strings &strings,
                                    const Bytes &report_descriptor, const Setup &setup)
{
    const uint8_t type = uint8_t(setup.value >> 8), index = uint8_t(setup.value);
    const uint8_t recipient = setup.request_type & 0x1f;
    if (recipient == 0 && type == DEVICE)
        return Bytes(descriptors.begin(), descriptors.begin() + 18);
    if (recipient == 0 && type == CONFIGURATION && index == 0)
        return Bytes(descriptors.begin() + 18, descriptors.end());
    if (recipient == 0 && type == STRING)
        return string_descriptor(strings, index);
    // The HID interface is always interface 0.
    if (recipient == 1 && type == HID_REPORT && setup.index == 0 && !report_descriptor.empty())
        return report_descriptor;
    return std::nullopt;
}

} // namespace

Setup parse_setup(const uint8_t *p)
{
    return {p[0], p[1], uint16_t(p[2] | p[3] << 8), uint16_t(p[4] | p[5] << 8),
            uint16_t(p[6] | p[7] << 8)};
}

void put16(Bytes &out, uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); }

void append(Bytes &out, const Bytes &more) { out.insert(out.end(), more.begin(), more.end()); }

uint8_t string_index(const Strings &strings, uint8_t index)
{
    return index >= 1 && index <= strings.size() && !strings[index - 1].empty() ? index : 0;
}

Bytes device_descriptor(uint16_t vendor_id, uint16_t product_id, const Strings &strings)
{
    Bytes d = {18, DEVICE, 0x00, 0x02, 0, 0, 0, 64};
    put16(d, vendor_id);
    put16(d, product_id);
    put16(d, BCD_DEVICE);
    d.insert(d.end(), {string_index(strings, 1), string_index(strings, 2), string_index(strings, 3), 1});
    return d;
}

Bytes configuration_descriptor(uint8_t interface_count, const Bytes &interfaces)
{
    // Configuration 1, bus powered, 100 mA.
    Bytes cfg = {9, CONFIGURATION, 0, 0, interface_count, 1, 0, 0x80, 50};
    append(cfg, interfaces);
    cfg[2] = uint8_t(cfg.size());
    cfg[3] = uint8_t(cfg.size() >> 8);
    return cfg;
}

Bytes endpoint_descriptor(uint8_t address)
{
    // Interrupt, 64 bytes, polled every frame (full speed) or microframe (high speed).
    Bytes d = {7, ENDPOINT, address, 0x03};
    put16(d, HID_MAX_PACKET);
    d.push_back(1);
    return d;
}

Bytes hid_interface_descriptors(uint8_t number, size_t report_descriptor_size, bool with_out_endpoint)
{
    const uint8_t endpoints = with_out_endpoint ? 2 : 1;
    Bytes d = {9, INTERFACE, number, 0, endpoints, 0x03, 0, 0, 0};
    // HID 1.11, no country, one report descriptor.
    d.insert(d.end(), {9, HID, 0x11, 0x01, 0, 1, HID_REPORT});
    put16(d, uint16_t(report_descriptor_size));
    append(d, endpoint_descriptor(HID_IN_ENDPOINT));
    if (with_out_endpoint)
        append(d, endpoint_descriptor(HID_OUT_ENDPOINT));
    return d;
}

std::optional<Bytes> standard_request(const Bytes &descriptors, const Strings &strings,
                                      const Bytes &report_descriptor, const Setup &setup)
{
    if (setup.request == GET_DESCRIPTOR && (setup.request_type & 0xe0) == 0x80)
        return get_descriptor(descriptors, strings, report_descriptor, setup);
    if (setup.request_type == 0x00 && setup.request == SET_CONFIGURATION && setup.value <= 1)
        return Bytes{};
    if (setup.request_type == 0x01 && setup.request == SET_INTERFACE && setup.value == 0)
        return Bytes{};
    if (setup.request_type == 0x21 && setup.request == HID_SET_IDLE && !report_descriptor.empty())
        return Bytes{};
    return std::nullopt;
}
