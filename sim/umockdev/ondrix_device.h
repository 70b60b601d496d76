#ifndef ONDRIX_SIM_ONDRIX_DEVICE_H
#define ONDRIX_SIM_ONDRIX_DEVICE_H

#include <umockdev.h>

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

// How a simulated ondrix device behaves.
struct OndrixBehaviour {
    std::string serial = "OX-000001";
    // Milliseconds from the switch-mode report (or from the first failed
    // write) until the device is back as the bootloader; a negative value
    // means never. After a switch-mode report that went through, 0 means
    // before the write returns.
    int switch_delay_ms = 0;
    // Instead: the device leaves the bus at once, and its bootloader
    // comes when the simulator receives SIGUSR1 (any received before the
    // report does not count). A test can so place the bootloader's
    // arrival within the launcher's own schedule, however busy the
    // machine is.
    bool switch_on_signal = false;
    // HID interfaces in normal mode, each with a hidraw node of its own;
    // the reports go to the first.
    uint8_t hid_interfaces = 1;
    bool refuse_open = false;  // the device node cannot be opened
    bool fail_writes = false;  // every report write fails, as when the device drops off
    bool short_writes = false; // writes go through one byte short
    int fail_download_after = -1; // the bootloader fails to write this block
    bool fail_first_bootloader_only = false; // later bootloaders (after a replug) write all
    unsigned flash_time_ms = 0;   // the bootloader's write time of each download block
    // At the end of a download (the program that completed it having
    // closed the bootloader) the device resets: the bootloader leaves the
    // bus, and the device comes back in normal mode this many milliseconds
    // later. Negative: it stays in its bootloader.
    int reset_after_download_ms = -1;
};

enum class OndrixMode { normal, bootloader };

// Sets up the ondrix devices for the testbed. `log`, when not null,
// receives a line per report written and per bootloader attached.
void ondrix_setup(UMockdevTestbed *testbed, FILE *log);

// Puts one more ondrix device on the bus, on the next free port: in
// normal mode (040e:f408) or as its bootloader (040e:f003, a USB DFU
// device that also shows a HID interface).
void ondrix_add(const OndrixBehaviour &behaviour, OndrixMode mode);

// One more ondrix device, not on the bus yet: it takes the next free
// port now, which it returns, and ondrix_plug puts it on later.
std::string ondrix_reserve(const OndrixBehaviour &behaviour);

// What a person does with the device on `port`, while the command runs;
// each is logged. Plugging in a device that is in, or pulling out one
// that is not, only draws a warning. A replug takes the device out if it
// is in, and puts it back in normal mode.
void ondrix_plug(const std::string &port, OndrixMode mode);
void ondrix_unplug(const std::string &port);
void ondrix_replug(const std::string &port);

// What the bootloader of a device received by DFU download: the last
// complete download, or else what it received of an unfinished one.
struct OndrixDownload {
    std::string port;
    bool bootloader_attached; // the device was ever in its bootloader
    std::vector<uint8_t> image;
    bool complete;
};

// One entry per ondrix device, in the order they were added.
std::vector<OndrixDownload> ondrix_downloads();

// Takes the devices' handlers down; call before the testbed goes.
void ondrix_teardown();

#endif
