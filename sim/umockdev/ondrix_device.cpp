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

struct OndrixDevice {
    OndrixBehaviour behaviour;
    UsbPort port;
    TestbedNodes normal;                  // empty while not on the bus in normal mode
    UMockdevIoctlBase *handler = nullptr; // answers on the normal-mode hidraw node
    std::string handler_devnode;
    bool switch_pending = false;
    DfuDevice *bootloader = nullptr;
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

void attach_bootloader(OndrixDevice &device)
{
    DfuDeviceConfig config = bootloader_config(device.behaviour.serial, BOOTLOADER_TRANSFER_SIZE,
                                               device.behaviour.fail_download_after);
    config.flash_time_ms = device.behaviour.flash_time_ms;
    device.bootloader = dfu_device_add(the_testbed, device.port, config);
    if (device.bootloader == nullptr)
        exit(EXIT_FAILURE);
    add_hid_interface(the_testbed, dfu_device_nodes(device.bootloader),
                      identity(device, BOOTLOADER_PRODUCT_ID, BOOTLOADER_PRODUCT));
}

// Leaving normal mode: the HID device drops off the bus, to come back
// on the same port with a new device number. With the lock held.
void leave_bus(OndrixDevice &device)
{
    remove_nodes(the_testbed, device.normal);
    device.normal.clear();
    device.port = renumbered(device.port);
}

// The bootloader enumerates, the device having left the bus if it had
// not yet.
void switch_to_bootloader(OndrixDevice &device)
{
    std::lock_guard<std::mutex> guard(state_lock);
    if (device.bootloader != nullptr)
        return;
    if (!device.normal.empty())
        leave_bus(device);
    attach_bootloader(device);
    log_time(device, "bootloader attached");
}

gboolean switch_later(gpointer device)
{
    switch_to_bootloader(*static_cast<OndrixDevice *>(device));
    return G_SOURCE_REMOVE;
}

gboolean leave_bus_now(gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    std::lock_guard<std::mutex> guard(state_lock);
    if (!device.normal.empty() && device.bootloader == nullptr)
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
        g_timeout_add(device.behaviour.switch_delay_ms, switch_later, &device);
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

gboolean on_write(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    OndrixDevice &device = *static_cast<OndrixDevice *>(data);
    const OndrixBehaviour &behaviour = device.behaviour;
    UMockdevIoctlData *report = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> guard(state_lock);
    // A node still open after the device left the bus.
    if (device.normal.empty()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    log_line(device, report_line(report->data, report->data_len));

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
        if (!leaves_now)
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

void attach_normal(OndrixDevice &device)
{
    device.normal = add_usb_hid_device(the_testbed, device.port,
                                       identity(device, NORMAL_MODE_PRODUCT_ID, NORMAL_MODE_PRODUCT),
                                       device.behaviour.hid_interfaces);
    const std::string hidraw = first_hidraw_node(device.normal);
    if (device.behaviour.refuse_open) {
        make_unopenable(hidraw);
        return;
    }
    device.handler = umockdev_ioctl_base_new();
    device.handler_devnode = hidraw;
    g_signal_connect(device.handler, "handle-ioctl", G_CALLBACK(on_ioctl), nullptr);
    g_signal_connect(device.handler, "handle-write", G_CALLBACK(on_write), &device);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(the_testbed, hidraw.c_str(), device.handler, &error)) {
        g_printerr("ondrix-sim: cannot attach to %s: %s\n", hidraw.c_str(), error->message);
        g_error_free(error);
    }
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
    devices.push_back(std::make_unique<OndrixDevice>());
    OndrixDevice &device = *devices.back();
    device.behaviour = behaviour;
    device.port = next_usb_port();
    if (mode == OndrixMode::normal)
        attach_normal(device);
    else
        attach_bootloader(device);
}

std::vector<OndrixDownload> ondrix_downloads()
{
    std::lock_guard<std::mutex> guard(state_lock);
    std::vector<OndrixDownload> downloads;
    for (const auto &device : devices) {
        OndrixDownload download{device->port.name, device->bootloader != nullptr, {}, false};
        if (device->bootloader != nullptr) {
            download.image = dfu_device_received(device->bootloader);
            download.complete = dfu_device_manifested(device->bootloader);
        }
        downloads.push_back(download);
    }
    return downloads;
}

void ondrix_teardown()
{
    std::lock_guard<std::mutex> guard(state_lock);
    for (const auto &device : devices) {
        dfu_device_free(device->bootloader);
        if (device->handler != nullptr) {
            umockdev_testbed_detach_ioctl(the_testbed, device->handler_devnode.c_str(), nullptr);
            g_object_unref(device->handler);
        }
    }
    devices.clear();
}
