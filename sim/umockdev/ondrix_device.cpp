#include "ondrix_device.h"

#include "dfu_device.h"
#include "hid_device.h"
#include "ondrix_model.h"
#include "usb_ports.h"

#include <glib-unix.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace {

// usbdevfs passes control transfers of any length.
const uint16_t BOOTLOADER_TRANSFER_SIZE = 1024;

// Answers on a normal-mode hidraw node. It outlives its node, which a
// program may still hold open after the device left the bus.
struct ReportHandler {
    UMockdevIoctlBase *handler;
    std::string devnode;
};

struct OndrixDevice {
    OndrixBehaviour behaviour;
    UsbPort port;
    bool plugged_in = false;               // though perhaps between its modes
    TestbedNodes normal;                   // empty while not on the bus in normal mode
    std::vector<ReportHandler> handlers;   // the last one is the current node's
    bool switch_pending = false;
    guint timer = 0;                       // of the switch or the reset to come
    DfuDevice *bootloader = nullptr;       // while on the bus as its bootloader
    std::vector<DfuDevice *> past_bootloaders; // kept for what they received
    int bootloader_session = 0;            // counts the bootloader's arrivals
    int downloads = 0;                     // completed, in every session
    Bytes last_download;                   // the image of the last one
};

// The ioctl handlers run on umockdev's worker thread; everything below is
// shared with the main thread and guarded by `state_lock`.
std::mutex state_lock;
UMockdevTestbed *the_testbed = nullptr;
FILE *the_log = nullptr;
std::vector<std::unique_ptr<OndrixDevice>> devices;

HidIdentity identity(const OndrixDevice &device, uint16_t product_id, const char *product)
{
    return HidIdentity{ONDRIX_VENDOR_ID, product_id, ONDRIX_MANUFACTURER, product, device.behaviour.serial};
}

// Each line of the log starts with the port of the device it is about.
void log_line(const OndrixDevice &device, const std::string &text)
{
    if (the_log == nullptr)
        return;
    fprintf(the_log, "%s %s\n", device.port.name.c_str(), text.c_str());
    fflush(the_log);
}

// Notes the wall-clock time of an event, for measuring how soon the
// launcher follows it: "<port> EVENT at SECONDS".
void log_time(const OndrixDevice &device, const char *event)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    log_line(device, format("%s at %lld.%09ld", event, static_cast<long long>(now.tv_sec), now.tv_nsec));
}

void attach_normal(OndrixDevice &device);

// The device drops off the bus from whichever mode it is in, to come
// back (if ever) on the same port with a new device number. With the
// lock held.
void leave_bus(OndrixDevice &device)
{
    if (device.normal.empty() && device.bootloader == nullptr)
        return;
    remove_nodes(the_testbed, device.normal);
    device.normal.clear();
    if (device.bootloader != nullptr) {
        dfu_device_unplug(device.bootloader);
        device.past_bootloaders.push_back(device.bootloader);
        device.bootloader = nullptr;
    }
    device.port = renumbered(device.port);
}

// Called on umockdev's worker thread.
void note_download(OndrixDevice &device, const Bytes &image)
{
    std::lock_guard<std::mutex> guard(state_lock);
    device.downloads++;
    device.last_download = image;
    log_time(device, format("download %d complete", device.downloads).c_str());
}

gboolean come_back_in_normal_mode(gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    std::lock_guard<std::mutex> guard(state_lock);
    device.timer = 0;
    attach_normal(device);
    log_time(device, "reset into normal mode");
    return G_SOURCE_REMOVE;
}

// The bootloader leaves the bus, and the device starts its firmware.
gboolean reset_now(gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    std::lock_guard<std::mutex> guard(state_lock);
    leave_bus(device);
    device.timer = g_timeout_add(device.behaviour.reset_after_download_ms, come_back_in_normal_mode, &device);
    return G_SOURCE_REMOVE;
}

// Called on umockdev's worker thread once the program that completed a
// download has closed the bootloader. A real device resets once it has
// manifested; waiting for the close spares dfu-util, which still asks for
// the status after the last DNLOAD, a device gone under it (dfu-util 0.11
// then fails: "unable to read DFU status after completion"). Nothing
// happens if the bootloader left the bus meanwhile (`session` is over).
void reset_in_due_time(OndrixDevice &device, int session)
{
    std::lock_guard<std::mutex> guard(state_lock);
    if (device.behaviour.reset_after_download_ms < 0 || device.bootloader == nullptr ||
        session != device.bootloader_session || device.timer != 0)
        return;
    device.timer = g_idle_add(reset_now, &device);
}

void attach_bootloader(OndrixDevice &device)
{
    const bool fails = !device.behaviour.fail_first_bootloader_only || device.bootloader_session == 0;
    DfuDeviceConfig config = bootloader_config(device.behaviour.serial, BOOTLOADER_TRANSFER_SIZE,
                                               fails ? device.behaviour.fail_download_after : -1);
    config.flash_time_ms = device.behaviour.flash_time_ms;
    OndrixDevice *self = &device;
    const int session = ++device.bootloader_session;
    DfuDownloadHooks hooks;
    hooks.completed = [self](const Bytes &image) { note_download(*self, image); };
    hooks.released = [self, session]() { reset_in_due_time(*self, session); };
    device.bootloader = dfu_device_add(the_testbed, device.port, config, hooks);
    if (device.bootloader == nullptr)
        exit(EXIT_FAILURE);
    add_hid_interface(the_testbed, dfu_device_nodes(device.bootloader),
                      identity(device, BOOTLOADER_PRODUCT_ID, BOOTLOADER_PRODUCT));
}

// The bootloader enumerates, the device having left the bus if it had
// not yet; not if it was pulled out meanwhile. With the lock held.
void switch_now(OndrixDevice &device)
{
    if (!device.switch_pending)
        return;
    device.switch_pending = false;
    leave_bus(device);
    attach_bootloader(device);
    log_time(device, "bootloader attached");
}

void switch_to_bootloader(OndrixDevice &device)
{
    std::lock_guard<std::mutex> guard(state_lock);
    switch_now(device);
}

gboolean switch_later(gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    std::lock_guard<std::mutex> guard(state_lock);
    device.timer = 0;
    switch_now(device);
    return G_SOURCE_REMOVE;
}

gboolean leave_bus_now(gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    std::lock_guard<std::mutex> guard(state_lock);
    if (device.switch_pending)
        leave_bus(device);
    return G_SOURCE_REMOVE;
}

// Called on the worker thread, with the lock held. A device that switches
// on a signal leaves the bus at once, so that the signal only has its
// bootloader enumerate.
void start_switch(OndrixDevice &device)
{
    if (device.switch_pending || device.behaviour.switch_delay_ms < 0)
        return;
    device.switch_pending = true;
    if (device.behaviour.switch_on_signal)
        g_idle_add(leave_bus_now, &device);
    else
        device.timer = g_timeout_add(device.behaviour.switch_delay_ms, switch_later, &device);
}

// SIGUSR1: each device waiting for it switches now.
gboolean switch_on_signal(gpointer)
{
    std::vector<OndrixDevice *> waiting;
    {
        std::lock_guard<std::mutex> guard(state_lock);
        for (const auto &device : devices)
            if (device->behaviour.switch_on_signal && device->switch_pending)
                waiting.push_back(device.get());
    }
    for (OndrixDevice *device : waiting)
        switch_to_bootloader(*device);
    return G_SOURCE_CONTINUE;
}

// A node the launcher may not open for reading and writing. Permissions
// would not stop the super-user, so the node becomes a folder: open()
// then fails with EISDIR, as it fails with EACCES for a user without
// access.
void make_unopenable(const std::string &devnode)
{
    gchar *root = umockdev_testbed_get_root_dir(the_testbed);
    std::string node = root + devnode;
    g_free(root);
    if (remove(node.c_str()) != 0 || g_mkdir(node.c_str(), 0700) != 0) {
        g_printerr("ondrix-sim: cannot make %s unopenable\n", devnode.c_str());
        exit(EXIT_FAILURE);
    }
}

void answer_descriptor_size(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *error = nullptr;
    UMockdevIoctlData *size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
    if (size == nullptr) {
        g_printerr("ondrix-sim: %s\n", error->message);
        g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    *reinterpret_cast<int *>(size->data) = int(ONDRIX_REPORT_DESCRIPTOR.size());
    umockdev_ioctl_data_unref(size);
    umockdev_ioctl_client_complete(client, 0, 0);
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer)
{
    // hidapi asks for the report descriptor size right after open() to
    // make sure the node is a hidraw device.
    if (umockdev_ioctl_client_get_request(client) != HIDIOCGRDESCSIZE)
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    else
        answer_descriptor_size(client);
    return TRUE;
}

gboolean on_write(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    const OndrixBehaviour &behaviour = device.behaviour;
    UMockdevIoctlData *report = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> guard(state_lock);
    // A node still open after the device left the bus, even if it has
    // come back since on another node.
    if (device.normal.empty() || handler != device.handlers.back().handler) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    log_line(device, report_line(report->data, report->data_len));
    log_time(device, "command report");

    if (behaviour.fail_writes) {
        start_switch(device);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    bool leaves_now = false;
    if (is_switch_mode_report(report->data, report->data_len)) {
        // Before the write returns: the launcher's wait starts later.
        log_time(device, "switch-mode report");
        leaves_now = behaviour.switch_delay_ms == 0 && !behaviour.switch_on_signal;
        if (leaves_now)
            device.switch_pending = true;
        else
            start_switch(device);
    }
    int accepted = behaviour.short_writes ? report->data_len - 1 : report->data_len;
    guard.unlock();
    // A switch without delay is done before the write returns, so the
    // launcher's very next look finds the bootloader.
    if (leaves_now)
        switch_to_bootloader(device);
    umockdev_ioctl_client_complete(client, accepted, 0);
    return TRUE;
}

// The hidraw node of the device's first HID interface.
std::string first_hidraw_node(const TestbedNodes &nodes)
{
    for (const TestbedNode &node : nodes)
        if (node.devnode.rfind("/dev/hidraw", 0) == 0)
            return node.devnode;
    return "";
}

void answer_reports_on(OndrixDevice &device, const std::string &hidraw)
{
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    device.handlers.push_back(ReportHandler{handler, hidraw});
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), nullptr);
    g_signal_connect(handler, "handle-write", G_CALLBACK(on_write), &device);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(the_testbed, hidraw.c_str(), handler, &error)) {
        g_printerr("ondrix-sim: cannot attach to %s: %s\n", hidraw.c_str(), error->message);
        g_error_free(error);
    }
}

void attach_normal(OndrixDevice &device)
{
    const bool refuses_open = device.behaviour.refuse_open;
    auto answer_reports = [&device, refuses_open](const std::string &hidraw) {
        if (!refuses_open)
            answer_reports_on(device, hidraw);
    };
    device.normal = add_usb_hid_device(the_testbed, device.port,
                                       identity(device, NORMAL_MODE_PRODUCT_ID, NORMAL_MODE_PRODUCT),
                                       device.behaviour.hid_interfaces, answer_reports);
    if (refuses_open)
        make_unopenable(first_hidraw_node(device.normal));
}

// With the lock held, as in what follows.
OndrixDevice &new_device(const OndrixBehaviour &behaviour)
{
    devices.push_back(std::make_unique<OndrixDevice>());
    OndrixDevice &device = *devices.back();
    device.behaviour = behaviour;
    device.port = next_usb_port();
    return device;
}

void arrive(OndrixDevice &device, OndrixMode mode)
{
    device.plugged_in = true;
    if (mode == OndrixMode::normal)
        attach_normal(device);
    else
        attach_bootloader(device);
}

// Pulled out: the device leaves the bus, and whatever it was about to do
// (switch, reset) it does not.
void pull_out(OndrixDevice &device)
{
    if (device.timer != 0)
        g_source_remove(device.timer);
    device.timer = 0;
    device.switch_pending = false;
    device.plugged_in = false;
    leave_bus(device);
}

// Each port has had one ondrix device at most.
OndrixDevice *device_on(const std::string &port)
{
    for (const auto &device : devices)
        if (device->port.name == port)
            return device.get();
    return nullptr;
}

// The last completed download; failing that, what the last bootloader
// received.
OndrixDownload download_of(const OndrixDevice &device)
{
    DfuDevice *last = device.bootloader;
    if (last == nullptr && !device.past_bootloaders.empty())
        last = device.past_bootloaders.back();
    OndrixDownload download{device.port.name, last != nullptr, device.last_download, true};
    if (device.downloads == 0) {
        download.image = last != nullptr ? dfu_device_received(last) : Bytes{};
        download.complete = last != nullptr && dfu_device_manifested(last);
    }
    return download;
}

} // namespace

void ondrix_setup(UMockdevTestbed *testbed, FILE *log)
{
    std::lock_guard<std::mutex> guard(state_lock);
    the_testbed = testbed;
    the_log = log;
    g_unix_signal_add(SIGUSR1, switch_on_signal, nullptr);
}

void ondrix_add(const OndrixBehaviour &behaviour, OndrixMode mode)
{
    std::lock_guard<std::mutex> guard(state_lock);
    arrive(new_device(behaviour), mode);
}

std::string ondrix_reserve(const OndrixBehaviour &behaviour)
{
    std::lock_guard<std::mutex> guard(state_lock);
    return new_device(behaviour).port.name;
}

void ondrix_plug(const std::string &port, OndrixMode mode)
{
    std::lock_guard<std::mutex> guard(state_lock);
    OndrixDevice *device = device_on(port);
    if (device == nullptr || device->plugged_in) {
        g_printerr("ondrix-sim: warning: no ondrix device waits to be plugged in on %s\n", port.c_str());
        return;
    }
    arrive(*device, mode);
    log_time(*device, mode == OndrixMode::normal ? "plugged in normal mode" : "plugged in bootloader mode");
}

void ondrix_unplug(const std::string &port)
{
    std::lock_guard<std::mutex> guard(state_lock);
    OndrixDevice *device = device_on(port);
    if (device == nullptr || !device->plugged_in) {
        g_printerr("ondrix-sim: warning: no ondrix device on %s to unplug\n", port.c_str());
        return;
    }
    pull_out(*device);
    log_time(*device, "unplugged");
}

void ondrix_replug(const std::string &port)
{
    std::lock_guard<std::mutex> guard(state_lock);
    OndrixDevice *device = device_on(port);
    if (device == nullptr) {
        g_printerr("ondrix-sim: warning: no ondrix device on %s to replug\n", port.c_str());
        return;
    }
    pull_out(*device);
    arrive(*device, OndrixMode::normal);
    log_time(*device, "replugged");
}

std::vector<OndrixDownload> ondrix_downloads()
{
    std::lock_guard<std::mutex> guard(state_lock);
    std::vector<OndrixDownload> downloads;
    for (const auto &device : devices)
        downloads.push_back(download_of(*device));
    return downloads;
}

void ondrix_teardown()
{
    std::lock_guard<std::mutex> guard(state_lock);
    for (const auto &device : devices) {
        dfu_device_free(device->bootloader);
        for (DfuDevice *bootloader : device->past_bootloaders)
            dfu_device_free(bootloader);
        for (const ReportHandler &handler : device->handlers) {
            umockdev_testbed_detach_ioctl(the_testbed, handler.devnode.c_str(), nullptr);
            g_object_unref(handler.handler);
        }
    }
    devices.clear();
}
