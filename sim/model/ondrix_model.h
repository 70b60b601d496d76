// The ondrix device itself, whatever carries it: its two identities, the
// report descriptor of its HID interface, what it does with the reports
// written to it, and its bootloader.
#ifndef ONDRIX_SIM_ONDRIX_MODEL_H
#define ONDRIX_SIM_ONDRIX_MODEL_H

#include "dfu_model.h"
#include "usb_model.h"

#include <cstddef>
#include <cstdint>
#include <string>

const uint16_t ONDRIX_VENDOR_ID = 0x040e;
const uint16_t NORMAL_MODE_PRODUCT_ID = 0xf408;
const uint16_t BOOTLOADER_PRODUCT_ID = 0xf003;

const char ONDRIX_MANUFACTURER[] = "ondrix";
const char NORMAL_MODE_PRODUCT[] = "ondrix device";
const char BOOTLOADER_PRODUCT[] = "ondrix bootloader";
const char DEFAULT_SERIAL[] = "OX-000001";

// Vendor page, one output report with ID 2 and 62 data bytes.
extern const Bytes ONDRIX_REPORT_DESCRIPTOR;

// The switch-mode report (02 12 34 ...) sends the device into its bootloader.
bool is_switch_mode_report(const uint8_t *data, size_t length);

// "report 02 de 12 00 ...": how the device logs a report written to it.
std::string report_line(const uint8_t *data, size_t length);

// The bootloader: DFU 1.1 behind a HID interface, so that hidraw lists it too.
DfuDeviceConfig bootloader_config(const std::string &serial, uint16_t transfer_size,
                                  int fail_after_block);

// Normal mode on a USB bus: one HID interface whose interrupt OUT endpoint
// takes the command reports.
struct NormalModeModel {
    Bytes descriptors;  // device descriptor followed by the configuration
    Strings strings;
};

NormalModeModel normal_mode_model(const std::string &serial);

std::optional<Bytes> normal_mode_control_request(const NormalModeModel &model, const Setup &setup);

#endif
