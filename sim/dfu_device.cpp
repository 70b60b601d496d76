#include "dfu_device.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace {

using Bytes = std::vector<uint8_t>;

const uint16_t TRANSFER_SIZE = 1024;
const uint16_t BCD_DEVICE = 0x0100;
const size_t FLASH_SIZE = 16 * 1024 * 1024;  // larger images are refused with errADDRESS
const size_t SETUP_SIZE = 8;

enum StringIndex : uint8_t {
    MANUFACTURER_STRING = 1, PRODUCT_STRING, SERIAL_STRING, INTERFACE_NAME_STRING
};

enum DfuRequest : uint8_t { DETACH, DNLOAD, UPLOAD, GETSTATUS, CLRSTATUS, GETSTATE, ABORT };

enum DfuState : uint8_t {
    dfuIDLE = 2, dfuDNLOAD_SYNC = 3, dfuDNLOAD_IDLE = 5, dfuMANIFEST_SYNC = 6, dfuERROR = 10,
};

enum DfuStatus : uint8_t { OK = 0x00, errWRITE = 0x03, errADDRESS = 0x08, errSTALLEDPKT = 0x0f };

// USB setup packet, the first 8 bytes of every control transfer.
struct Setup {
    uint8_t request_type, request;
    uint16_t value, index, length;
    bool is_in() const { return request_type & 0x80; }
};

// What the bootloader itself remembers; it outlives any one connection.
struct Bootloader {
    uint8_t state = dfuIDLE;
    uint8_t status = OK;
    uint32_t blocks = 0;  // blocks of the current download, counted from 0
    Bytes image;
    bool manifested = false;
};

struct DeviceState {
    DfuDeviceConfig config;
    Bytes descriptors;  // device descriptor followed by the configuration
    std::mutex mutex;
    Bootloader dfu;
    std::map<UMockdevIoctlClient *, std::deque<gulong>> completed_urbs;  // per open()

    uint8_t dfu_interface() const { return config.with_hid_interface ? 1 : 0; }
    uint8_t interface_count() const { return dfu_interface() + 1; }
};

struct DataRef {
    void operator()(UMockdevIoctlData *data) const { g_object_unref(data); }
};
using Data = std::unique_ptr<UMockdevIoctlData, DataRef>;

void put16(Bytes &out, uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); }

const std::string &string_for(const DfuDeviceConfig &c, uint8_t index)
{
    static const std::string none;
    switch (index) {
    case MANUFACTURER_STRING: return c.manufacturer;
    case PRODUCT_STRING: return c.product;
    case SERIAL_STRING: return c.serial;
    case INTERFACE_NAME_STRING: return c.interface_name;
    default: return none;
    }
}

uint8_t index_if_present(const DfuDeviceConfig &c, uint8_t index)
{
    return string_for(c, index).empty() ? 0 : index;
}

Bytes build_descriptors(const DfuDeviceConfig &c)
{
    Bytes d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    put16(d, c.vendor_id);
    put16(d, c.product_id);
    put16(d, BCD_DEVICE);
    d.insert(d.end(), {index_if_present(c, MANUFACTURER_STRING), index_if_present(c, PRODUCT_STRING),
                       index_if_present(c, SERIAL_STRING), 1});

    const uint8_t interfaces = c.with_hid_interface ? 2 : 1;
    Bytes cfg = {9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
    if (c.with_hid_interface) {
        cfg.insert(cfg.end(), {9, 4, 0, 0, 1, 0x03, 0, 0, 0});  // HID, one endpoint
        cfg.insert(cfg.end(), {7, 5, 0x81, 0x03, 64, 0, 1});    // interrupt IN, 64 bytes, 1 ms
    }
    cfg.insert(cfg.end(), {9, 4, uint8_t(interfaces - 1), 0, 0, 0xfe, 0x01, 0x02,
                           index_if_present(c, INTERFACE_NAME_STRING)});
    // DFU functional descriptor: can download, manifestation tolerant.
    cfg.insert(cfg.end(), {9, 0x21, 0x05});
    put16(cfg, 255);  // wDetachTimeOut, ms
    put16(cfg, TRANSFER_SIZE);
    put16(cfg, 0x0110);
    cfg[2] = uint8_t(cfg.size());
    cfg[3] = uint8_t(cfg.size() >> 8);

    d.insert(d.end(), cfg.begin(), cfg.end());
    return d;
}

std::optional<Bytes> string_descriptor(const DfuDeviceConfig &c, uint8_t index)
{
    if (index == 0)
        return Bytes{4, 3, 0x09, 0x04};  // languages: en-US only
    const std::string &text = string_for(c, index);
    if (text.empty())
        return std::nullopt;
    glong units = 0;
    gunichar2 *utf16 = g_utf8_to_utf16(text.c_str(), -1, nullptr, &units, nullptr);
    if (!utf16)
        return std::nullopt;
    units = std::min<glong>(units, 126);  // bLength is one byte
    Bytes d = {uint8_t(2 + 2 * units), 3};
    for (glong i = 0; i < units; i++)
        put16(d, utf16[i]);
    g_free(utf16);
    return d;
}

std::optional<Bytes> standard_request(const DeviceState &s, const Setup &setup)
{
    const uint8_t GET_DESCRIPTOR = 6;
    if (setup.request_type != 0x80 || setup.request != GET_DESCRIPTOR)
        return std::nullopt;
    const uint8_t type = uint8_t(setup.value >> 8), index = uint8_t(setup.value);
    if (type == 1)
        return Bytes(s.descriptors.begin(), s.descriptors.begin() + 18);
    if (type == 2 && index == 0)
        return Bytes(s.descriptors.begin() + 18, s.descriptors.end());
    if (type == 3)
        return string_descriptor(s.config, index);
    return std::nullopt;
}

// Returns false when the request must stall.
bool dnload(DeviceState &s, const Setup &setup, const uint8_t *data)
{
    Bootloader &dfu = s.dfu;
    if (setup.length == 0) {  // end of image: manifest at once
        if (dfu.state != dfuDNLOAD_IDLE)
            return false;
        dfu.state = dfuMANIFEST_SYNC;
        dfu.manifested = true;
        return true;
    }
    if (setup.length > TRANSFER_SIZE)
        return false;
    if (dfu.state == dfuIDLE) {
        dfu.image.clear();
        dfu.blocks = 0;
        dfu.manifested = false;
    }
    // The device writes blocks in order; wValue carries the block number.
    const bool in_sequence = setup.value == uint16_t(dfu.blocks);
    if (!in_sequence || dfu.image.size() + setup.length > FLASH_SIZE) {
        dfu.state = dfuERROR;
        dfu.status = errADDRESS;
    } else if (int64_t(dfu.blocks) == s.config.fail_after_block) {
        dfu.state = dfuERROR;
        dfu.status = errWRITE;
    } else {
        dfu.image.insert(dfu.image.end(), data, data + setup.length);
        dfu.blocks++;
        dfu.state = dfuDNLOAD_SYNC;
    }
    return true;
}

Bytes get_status(Bootloader &dfu)
{
    if (dfu.state == dfuDNLOAD_SYNC)
        dfu.state = dfuDNLOAD_IDLE;  // each block is written before the status is asked for
    else if (dfu.state == dfuMANIFEST_SYNC)
        dfu.state = dfuIDLE;
    return Bytes{dfu.status, 0, 0, 0, dfu.state, 0};  // bwPollTimeout 0
}

std::optional<Bytes> dfu_request(DeviceState &s, const Setup &setup, const uint8_t *data)
{
    Bootloader &dfu = s.dfu;
    const bool idle = dfu.state == dfuIDLE || dfu.state == dfuDNLOAD_IDLE;
    switch (setup.request) {
    case GETSTATUS: return get_status(dfu);
    case GETSTATE: return Bytes{dfu.state};
    case DNLOAD:
        if (idle && !setup.is_in() && dnload(s, setup, data))
            return Bytes{};
        break;
    case CLRSTATUS:
        if (dfu.state == dfuERROR) {
            dfu.state = dfuIDLE;
            dfu.status = OK;
            return Bytes{};
        }
        break;
    case ABORT:
        if (idle) {
            dfu.state = dfuIDLE;
            return Bytes{};
        }
        break;
    }
    // DETACH and UPLOAD are not supported in this mode; anything out of place stalls.
    dfu.state = dfuERROR;
    dfu.status = errSTALLEDPKT;
    return std::nullopt;
}

std::optional<Bytes> control_request(DeviceState &s, const Setup &setup, const uint8_t *data)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    const bool to_dfu_interface = (setup.request_type & 0x7f) == 0x21 &&
                                  (setup.index & 0xff) == s.dfu_interface();
    if (to_dfu_interface)
        return dfu_request(s, setup, data);
    return standard_request(s, setup);
}

Setup parse_setup(const uint8_t *p)
{
    return {p[0], p[1], uint16_t(p[2] | p[3] << 8), uint16_t(p[4] | p[5] << 8),
            uint16_t(p[6] | p[7] << 8)};
}

Data resolve(UMockdevIoctlData *parent, size_t offset, size_t length)
{
    GError *error = nullptr;
    Data data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
    g_clear_error(&error);
    return data;
}

// Completes a control URB on the spot (the node never blocks in poll(), so
// libusb reaps right away) and queues it for REAPURBNDELAY.
int submit_urb(DeviceState &s, UMockdevIoctlClient *client)
{
    Data urb_data = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb));
    if (!urb_data)
        return EFAULT;
    auto *urb = reinterpret_cast<usbdevfs_urb *>(urb_data->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || (urb->endpoint & 0x7f) != 0)
        return EINVAL;
    if (urb->buffer_length < int(SETUP_SIZE))
        return EINVAL;
    Data buffer = resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer), urb->buffer_length);
    if (!buffer)
        return EFAULT;
    const Setup setup = parse_setup(buffer->data);
    if (setup.length != urb->buffer_length - SETUP_SIZE)
        return EINVAL;

    uint8_t *payload = buffer->data + SETUP_SIZE;
    const std::optional<Bytes> reply = control_request(s, setup, payload);
    urb->status = reply ? 0 : -EPIPE;
    urb->actual_length = 0;
    if (reply && setup.is_in()) {
        urb->actual_length = std::min<int>(int(reply->size()), setup.length);
        std::copy_n(reply->begin(), urb->actual_length, payload);
    } else if (reply) {
        urb->actual_length = setup.length;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.completed_urbs[client].push_back(urb_data->client_addr);
    return 0;
}

// Runs fn on the value the ioctl argument points to; changes go back to the client.
template <typename T, typename Fn>
int with_arg(UMockdevIoctlClient *client, Fn fn)
{
    Data arg = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T));
    return arg ? fn(*reinterpret_cast<T *>(arg->data)) : EFAULT;
}

int reap_urb(DeviceState &s, UMockdevIoctlClient *client)
{
    return with_arg<gulong>(client, [&](gulong &urb_address) {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto &queue = s.completed_urbs[client];
        if (queue.empty())
            return EAGAIN;
        urb_address = queue.front();
        queue.pop_front();
        return 0;
    });
}

int check_interface(const DeviceState &s, UMockdevIoctlClient *client)
{
    // CLAIMINTERFACE, RELEASEINTERFACE and DISCONNECT_CLAIM all start with the interface number.
    return with_arg<unsigned int>(client, [&](unsigned int &interface) {
        return interface < s.interface_count() ? 0 : ENOENT;
    });
}

int set_interface(const DeviceState &s, UMockdevIoctlClient *client)
{
    return with_arg<usbdevfs_setinterface>(client, [&](usbdevfs_setinterface &setting) {
        return setting.interface < s.interface_count() && setting.altsetting == 0 ? 0 : EINVAL;
    });
}

int report_capabilities(UMockdevIoctlClient *client)
{
    return with_arg<uint32_t>(client, [](uint32_t &caps) {
        caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        return 0;
    });
}

// Returns the errno of the ioctl, 0 for success.
int usbdevfs_ioctl(DeviceState &s, UMockdevIoctlClient *client)
{
    switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES: return report_capabilities(client);
    case USBDEVFS_SUBMITURB: return submit_urb(s, client);
    case USBDEVFS_REAPURB:  // never blocks: every URB is already complete
    case USBDEVFS_REAPURBNDELAY: return reap_urb(s, client);
    case USBDEVFS_DISCARDURB: return EINVAL;  // already complete
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: return check_interface(s, client);
    case USBDEVFS_SETINTERFACE: return set_interface(s, client);
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_CLEAR_HALT: return 0;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: return ENODATA;  // no kernel driver is bound
    default: return ENOTTY;
    }
}

DeviceState &state_of(gpointer user_data)
{
    return **static_cast<std::shared_ptr<DeviceState> *>(user_data);
}

gboolean on_handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data)
{
    const int error = usbdevfs_ioctl(state_of(user_data), client);
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

void on_client_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data)
{
    DeviceState &s = state_of(user_data);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.completed_urbs.erase(client);
}

void connect_handler(UMockdevIoctlBase *handler, const char *signal, GCallback callback,
                     const std::shared_ptr<DeviceState> &state)
{
    g_signal_connect_data(
        handler, signal, callback, new std::shared_ptr<DeviceState>(state),
        [](gpointer data, GClosure *) { delete static_cast<std::shared_ptr<DeviceState> *>(data); },
        GConnectFlags(0));
}

std::string config_problem(UMockdevTestbed *testbed, const DfuDeviceConfig &c,
                           const std::string &devnode)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string root_dir = root;
    g_free(root);
    if (g_file_test((root_dir + devnode).c_str(), G_FILE_TEST_EXISTS))
        return devnode + " is already taken";
    if (g_file_test((root_dir + "/sys/devices/" + c.sysfs_name).c_str(), G_FILE_TEST_EXISTS))
        return c.sysfs_name + " is already taken";
    return {};
}

std::string format(const char *fmt, int value)
{
    char text[32];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

// Attribute line of umockdev's device description; sysfs text ends in a line feed.
std::string attribute(const char *name, const std::string &value)
{
    std::string line = std::string("A: ") + name + "=";
    for (char ch : value + "\n")
        line += ch == '\\' ? "\\\\" : ch == '\n' ? "\\n" : std::string(1, ch);
    return line + "\n";
}

// Device description with the attributes libusb and hidapi read from a usb_device.
std::string describe_usb_device(const DeviceState &s, const std::string &devnode)
{
    const DfuDeviceConfig &c = s.config;
    std::string text = "P: /devices/" + c.sysfs_name + "\nN: " + devnode.substr(5) + "\n" +
                       "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + devnode + "\n" +
                       format("E: BUSNUM=%03d\n", c.busnum) + format("E: DEVNUM=%03d\n", c.devnum) +
                       attribute("idVendor", format("%04x", c.vendor_id)) +
                       attribute("idProduct", format("%04x", c.product_id)) +
                       attribute("bcdDevice", format("%04x", BCD_DEVICE)) +
                       attribute("busnum", format("%d", c.busnum)) +
                       attribute("devnum", format("%d", c.devnum)) + attribute("speed", "480") +
                       attribute("bConfigurationValue", "1") + attribute("bNumConfigurations", "1") +
                       attribute("bNumInterfaces", format("%2d", s.interface_count()));
    if (!c.manufacturer.empty())
        text += attribute("manufacturer", c.manufacturer);
    if (!c.product.empty())
        text += attribute("product", c.product);
    if (!c.serial.empty())
        text += attribute("serial", c.serial);
    text += "H: descriptors=";
    for (uint8_t byte : s.descriptors)
        text += format("%02X", byte);
    return text + "\n";
}

}  // namespace

struct DfuDevice {
    UMockdevTestbed *testbed;
    UMockdevIoctlBase *handler;
    std::string syspath, devnode;
    std::shared_ptr<DeviceState> state;
};

DfuDevice *dfu_device_add(UMockdevTestbed *testbed, const DfuDeviceConfig &config)
{
    const std::string devnode = format("/dev/bus/usb/%03d/", config.busnum) +
                                format("%03d", config.devnum);
    const std::string problem = config_problem(testbed, config, devnode);
    if (!problem.empty()) {
        std::fprintf(stderr, "dfu_device_add: %s\n", problem.c_str());
        return nullptr;
    }
    auto state = std::make_shared<DeviceState>();
    state->config = config;
    state->descriptors = build_descriptors(config);

    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, describe_usb_device(*state, devnode).c_str(),
                                          &error)) {
        std::fprintf(stderr, "dfu_device_add: cannot add %s: %s\n", config.sysfs_name.c_str(),
                     error->message);
        g_error_free(error);
        return nullptr;
    }
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    connect_handler(handler, "handle-ioctl", G_CALLBACK(on_handle_ioctl), state);
    connect_handler(handler, "client-vanished", G_CALLBACK(on_client_vanished), state);
    if (!umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), handler, &error)) {
        std::fprintf(stderr, "dfu_device_add: cannot attach to %s: %s\n", devnode.c_str(),
                     error->message);
        g_error_free(error);
        g_object_unref(handler);
        return nullptr;
    }
    const std::string syspath = "/sys/devices/" + config.sysfs_name;
    return new DfuDevice{UMOCKDEV_TESTBED(g_object_ref(testbed)), handler, syspath, devnode, state};
}

const char *dfu_device_syspath(const DfuDevice *device) { return device->syspath.c_str(); }

std::vector<uint8_t> dfu_device_received(DfuDevice *device)
{
    std::lock_guard<std::mutex> lock(device->state->mutex);
    return device->state->dfu.image;
}

bool dfu_device_manifested(DfuDevice *device)
{
    std::lock_guard<std::mutex> lock(device->state->mutex);
    return device->state->dfu.manifested;
}

void dfu_device_free(DfuDevice *device)
{
    if (!device)
        return;
    umockdev_testbed_detach_ioctl(device->testbed, device->devnode.c_str(), nullptr);
    g_object_unref(device->handler);
    g_object_unref(device->testbed);
    delete device;
}
