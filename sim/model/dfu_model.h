// A USB device in DFU 1.1 mode as it behaves on its control endpoint: its
// descriptors and strings, and the DFU state machine behind its class
// requests, which keeps the downloaded image. No transport: the umockdev
// simulator and the USB gadget both put their requests through here.
#ifndef ONDRIX_SIM_DFU_MODEL_H
#define ONDRIX_SIM_DFU_MODEL_H

#include "usb_model.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct DfuDeviceConfig {
    uint16_t vendor_id;          // e.g. 0x040e
    uint16_t product_id;         // e.g. 0xf003
    std::string manufacturer, product, serial;  // an empty string gets no string descriptor
    // Not empty: interface 0 is a HID interface with this report descriptor
    // and the DFU interface is interface 1; empty: DFU is interface 0.
    Bytes hid_report_descriptor;
    int fail_after_block = -1;   // N >= 0: block N of every download fails to write,
                                 // the next GETSTATUS reports dfuERROR / errWRITE
    std::string interface_name = "ondrix firmware";  // string of the DFU interface (alt setting 0)
    uint16_t transfer_size = 1024;  // wTransferSize of the DFU functional descriptor
    unsigned flash_time_ms = 0;     // time the device takes to write each download block
};

// What the bootloader itself remembers; it outlives any one connection.
struct DfuState {
    uint8_t state;
    uint8_t status;
    uint32_t blocks;  // blocks of the current download, counted from 0
    Bytes image;
    bool manifested;  // the zero-length DNLOAD that ends a download was accepted
    std::chrono::steady_clock::time_point written_at;  // when the last block is in flash
};

struct DfuModel {
    DfuDeviceConfig config;
    Bytes descriptors;  // device descriptor followed by the configuration
    Strings strings;
    DfuState dfu;
};

DfuModel dfu_model_new(const DfuDeviceConfig &config);

uint8_t dfu_interface_number(const DfuModel &model);
uint8_t dfu_interface_count(const DfuModel &model);

// Answers one control request; `data` holds the OUT data stage. An IN
// request gets its reply, an OUT request an empty one; nullopt stalls.
std::optional<Bytes> dfu_control_request(DfuModel &model, const Setup &setup, const uint8_t *data);

// True when `setup` is a DFU class request to this device, and when it is
// a DNLOAD.
bool is_dfu_request(const DfuModel &model, const Setup &setup);
bool is_dfu_download(const DfuModel &model, const Setup &setup);

#endif
