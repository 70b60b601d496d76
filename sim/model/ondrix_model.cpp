#include "ondrix_model.h"

#include <cstdio>
#include <cstring>

namespace {

const uint8_t SWITCH_MODE_REPORT[] = {0x02, 0x12, 0x34};

} // namespace

// The command report is 63 bytes on the wire, report ID included.
const Bytes ONDRIX_REPORT_DESCRIPTOR = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x02,       //   Report ID (2)
    0x09, 0x02,       //   Usage (2)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x3E,       //   Report Count (62)
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xC0,             // End Collection
};

bool is_switch_mode_report(const uint8_t *data, size_t length)
{
    return length >= sizeof SWITCH_MODE_REPORT &&
           memcmp(data, SWITCH_MODE_REPORT, sizeof SWITCH_MODE_REPORT) == 0;
}

std::string report_line(const uint8_t *data, size_t length)
{
    std::string line = "report";
    char hex[4];
    for (size_t i = 0; i < length; i++) {
        snprintf(hex, sizeof hex, " %02x", data[i]);
        line += hex;
    }
    return line;
}

DfuDeviceConfig bootloader_config(const std::string &serial, uint16_t transfer_size,
                                  int fail_after_block)
{
    DfuDeviceConfig config{ONDRIX_VENDOR_ID, BOOTLOADER_PRODUCT_ID, ONDRIX_MANUFACTURER,
                           BOOTLOADER_PRODUCT, serial, ONDRIX_REPORT_DESCRIPTOR};
    config.transfer_size = transfer_size;
    config.fail_after_block = fail_after_block;
    return config;
}

NormalModeModel normal_mode_model(const std::string &serial)
{
    Strings strings = {ONDRIX_MANUFACTURER, NORMAL_MODE_PRODUCT, serial};
    Bytes descriptors = device_descriptor(ONDRIX_VENDOR_ID, NORMAL_MODE_PRODUCT_ID, strings);
    append(descriptors, configuration_descriptor(
                            1, hid_interface_descriptors(0, ONDRIX_REPORT_DESCRIPTOR.size(), true)));
    return NormalModeModel{descriptors, strings};
}

std::optional<Bytes> normal_mode_control_request(const NormalModeModel &model, const Setup &setup)
{
    return standard_request(model.descriptors, model.strings, ONDRIX_REPORT_DESCRIPTOR, setup);
}
