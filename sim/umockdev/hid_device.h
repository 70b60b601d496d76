#ifndef ONDRIX_SIM_HID_DEVICE_H
#define ONDRIX_SIM_HID_DEVICE_H

#include <umockdev.h>

#include <cstdint>
#include <string>

// What a USB HID device shows of itself in sysfs, as hidapi reads it.
struct HidIdentity {
    uint16_t vendor_id;
    uint16_t product_id;
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// A USB HID device as added to the testbed.
struct HidNodes {
    std::string usb_syspath; // removing it takes the whole device off the bus
    std::string devnode;     // its hidraw node
};

// Adds a plain USB device carrying one HID interface, named `usb_name` in
// sysfs.
HidNodes add_usb_hid_device(UMockdevTestbed *testbed, const std::string &usb_name,
                            const HidIdentity &identity);

// Adds the HID interface (usb_interface, hid and hidraw nodes) beneath an
// existing USB device. Returns the /dev path of the hidraw node.
std::string add_hid_interface(UMockdevTestbed *testbed, const std::string &usb_syspath,
                              const HidIdentity &identity);

#endif
