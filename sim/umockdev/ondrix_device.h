#ifndef ONDRIX_SIM_ONDRIX_DEVICE_H
#define ONDRIX_SIM_ONDRIX_DEVICE_H

#include <umockdev.h>

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

// How the simulated ondrix device behaves in normal mode.
struct OndrixBehaviour {
    std::string serial = "OX-000001";
    // Milliseconds from the switch-mode report (or from the first failed
    // write) until the device is back as the bootloader; a negative value
    // means never. After a switch-mode report that went through, 0 means
    // before the write returns.
    int switch_delay_ms = 0;
    bool refuse_open = false;  // the device node cannot be opened
    bool fail_writes = false;  // every report write fails, as when the device drops off
    bool short_writes = false; // writes go through one byte short
    int fail_download_after = -1; // the bootloader fails to write this block
    FILE *log = nullptr;       // receives one line per report written
};

// Sets up the device for the testbed; call before attaching it.
void ondrix_setup(UMockdevTestbed *testbed, const OndrixBehaviour &behaviour);

// Puts the device on the bus in normal mode (040e:f408).
void ondrix_attach_normal();

// Puts the device on the bus in bootloader mode (040e:f003): a USB DFU
// device that also shows a HID interface.
void ondrix_attach_bootloader();

// What the bootloader (the first, if several were attached) received by
// DFU download. False when no bootloader was ever attached.
bool ondrix_received_image(std::vector<uint8_t> &image, bool &complete);

// Takes the device and its handlers down; call before the testbed goes.
void ondrix_teardown();

#endif
