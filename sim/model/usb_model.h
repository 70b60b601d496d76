// What a simulated USB device answers on its control endpoint, whatever
// carries the requests to it (usbdevfs ioctls under umockdev, or GadgetFS
// on a real kernel): descriptors, strings and the HID interface requests.
#ifndef ONDRIX_SIM_USB_MODEL_H
#define ONDRIX_SIM_USB_MODEL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// USB setup packet, the first 8 bytes of every control transfer.
struct Setup {
    uint8_t request_type, request;
    uint16_t value, index, length;
    bool is_in() const { return request_type & 0x80; }
};

const size_t SETUP_SIZE = 8;

Setup parse_setup(const uint8_t *packet);

void put16(Bytes &out, uint16_t value);
void append(Bytes &out, const Bytes &more);

// The device's strings, by descriptor index from 1; an empty string gets
// no descriptor (its index in the descriptors is 0).
using Strings = std::vector<std::string>;

uint8_t string_index(const Strings &strings, uint8_t index);

// The 18-byte device descriptor; the strings are manufacturer, product
// and serial number at indices 1, 2 and 3.
Bytes device_descriptor(uint16_t vendor_id, uint16_t product_id, const Strings &strings);

// A configuration descriptor around `interfaces` (the interface,
// class and endpoint descriptors that follow it).
Bytes configuration_descriptor(uint8_t interface_count, const Bytes &interfaces);

// A HID interface with an interrupt IN endpoint (0x81) and, when asked
// for, an interrupt OUT endpoint (0x02) for output reports.
Bytes hid_interface_descriptors(uint8_t number, size_t report_descriptor_size, bool with_out_endpoint);

// Endpoint descriptors of the HID interface, as a transport enables them.
const uint8_t HID_IN_ENDPOINT = 0x81;
const uint8_t HID_OUT_ENDPOINT = 0x02;
const uint16_t HID_MAX_PACKET = 64;
Bytes endpoint_descriptor(uint8_t address);

// What every device answers on endpoint 0: GET_DESCRIPTOR for strings and
// for the HID report descriptor (when it has one), SET_CONFIGURATION,
// SET_INTERFACE to alternate setting 0, and the HID SET_IDLE. An empty
// reply acknowledges; nullopt stalls. Device and configuration descriptors
// are answered too, from `descriptors`.
std::optional<Bytes> standard_request(const Bytes &descriptors, const Strings &strings,
                                      const Bytes &report_descriptor, const Setup &setup);

#endif
