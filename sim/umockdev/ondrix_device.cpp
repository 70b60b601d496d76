#include "ondrix_device.h"

#include "dfu_device.h"
#include "hid_device.h"
#include "ondrix_model.h"
#include "usb_ports.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace {

// usbdevfs passes control transfers of any length.
const uint16_t BOOTLOADER_TRANSFER_SIZE = 1024;

// The ioctl handler runs on umockdev's worker thread; everything below is
// shared with the main thread and guarded by `state_lock`.
std::mutex state_lock;
UMockdevTestbed *the_testbed = nullptr;
OndrixBehaviour behaviour;
std::string normal_syspath;
std::string normal_devnode;
UMockdevIoctlBase *normal_handler = nullptr;
bool switch_pending = false;
std::vector<DfuDevice *> bootloaders;

HidIdentity ondrix_identity(uint16_t product_id, const char *product)
{
    return HidIdentity{ONDRIX_VENDOR_ID, product_id, ONDRIX_MANUFACTURER, product, behaviour.serial};
}

void log_report(const uint8_t *data, int length)
{
    if (behaviour.log == nullptr)
        return;
    fprintf(behaviour.log, "%s\n", report_line(data, length).c_str());
    fflush(behaviour.log);
}

// The wall-clock time the bootloader became visible, for measuring how
// soon the launcher hands over to dfu-util.
void log_bootloader_arrival()
{
    if (behaviour.log == nullptr)
        return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fprintf(behaviour.log, "bootloader attached at %lld.%09ld\n", static_cast<long long>(now.tv_sec),
            now.tv_nsec);
    fflush(behaviour.log);
}

// Leaving normal mode: the HID device drops off the bus and the
// bootloader enumerates in its place.
void switch_to_bootloader()
{
    std::lock_guard<std::mutex> guard(state_lock);
    if (normal_syspath.empty())
        return;
    umockdev_testbed_remove_device(the_testbed, normal_syspath.c_str());
    normal_syspath.clear();
    ondrix_attach_bootloader();
    log_bootloader_arrival();
}

gboolean switch_later(gpointer)
{
    switch_to_bootloader();
    return G_SOURCE_REMOVE;
}

// Called on the worker thread, with the lock held.
void start_switch()
{
    if (switch_pending || behaviour.switch_delay_ms < 0)
        return;
    switch_pending = true;
    g_timeout_add(behaviour.switch_delay_ms, switch_later, nullptr);
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

gboolean on_write(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer)
{
    UMockdevIoctlData *report = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> guard(state_lock);
    log_report(report->data, report->data_len);

    if (behaviour.fail_writes) {
        start_switch();
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    bool leaves_now = false;
    if (is_switch_mode_report(report->data, report->data_len)) {
        leaves_now = behaviour.switch_delay_ms == 0;
        if (!leaves_now)
            start_switch();
    }
    int accepted = behaviour.short_writes ? report->data_len - 1 : report->data_len;
    guard.unlock();
    // A switch without delay is done before the write returns, so the
    // launcher's very next look finds the bootloader.
    if (leaves_now)
        switch_to_bootloader();
    umockdev_ioctl_client_complete(client, accepted, 0);
    return TRUE;
}

} // namespace

void ondrix_setup(UMockdevTestbed *testbed, const OndrixBehaviour &how)
{
    std::lock_guard<std::mutex> guard(state_lock);
    the_testbed = testbed;
    behaviour = how;
}

void ondrix_attach_normal()
{
    std::lock_guard<std::mutex> guard(state_lock);
    HidIdentity identity = ondrix_identity(NORMAL_MODE_PRODUCT_ID, NORMAL_MODE_PRODUCT);
    HidNodes nodes = add_usb_hid_device(the_testbed, next_usb_port().name, identity);
    normal_syspath = nodes.usb_syspath;
    normal_devnode = nodes.devnode;
    if (behaviour.refuse_open) {
        make_unopenable(normal_devnode);
        return;
    }

    normal_handler = umockdev_ioctl_base_new();
    g_signal_connect(normal_handler, "handle-ioctl", G_CALLBACK(on_ioctl), nullptr);
    g_signal_connect(normal_handler, "handle-write", G_CALLBACK(on_write), nullptr);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(the_testbed, normal_devnode.c_str(), normal_handler, &error)) {
        g_printerr("ondrix-sim: cannot attach to %s: %s\n", normal_devnode.c_str(), error->message);
        g_error_free(error);
    }
}

void ondrix_attach_bootloader()
{
    DfuDeviceConfig config = bootloader_config(behaviour.serial, BOOTLOADER_TRANSFER_SIZE,
                                               behaviour.fail_download_after);
    DfuDevice *bootloader = dfu_device_add(the_testbed, next_usb_port(), config);
    if (bootloader == nullptr)
        exit(EXIT_FAILURE);
    bootloaders.push_back(bootloader);
    add_hid_interface(the_testbed, dfu_device_syspath(bootloader),
                      ondrix_identity(BOOTLOADER_PRODUCT_ID, BOOTLOADER_PRODUCT));
}

bool ondrix_received_image(std::vector<uint8_t> &image, bool &complete)
{
    std::lock_guard<std::mutex> guard(state_lock);
    if (bootloaders.empty())
        return false;
    image = dfu_device_received(bootloaders.front());
    complete = dfu_device_manifested(bootloaders.front());
    return true;
}

void ondrix_teardown()
{
    std::lock_guard<std::mutex> guard(state_lock);
    for (DfuDevice *bootloader : bootloaders)
        dfu_device_free(bootloader);
    bootloaders.clear();
    if (normal_handler != nullptr) {
        umockdev_testbed_detach_ioctl(the_testbed, normal_devnode.c_str(), nullptr);
        g_object_unref(normal_handler);
        normal_handler = nullptr;
    }
}
