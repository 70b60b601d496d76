#include "dfu_device.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace {

struct DeviceState {
    std::mutex mutex;
    DfuModel model;
    std::map<UMockdevIoctlClient *, std::deque<gulong>> completed_urbs;  // per open()
    std::map<unsigned int, UMockdevIoctlClient *> claims;                // interface -> its open()
    DfuDownloadHooks hooks;
    UMockdevIoctlClient *finisher = nullptr;  // ended the last download, until it closes
    std::atomic<bool> unplugged{false};
};

struct DataRef {
    void operator()(UMockdevIoctlData *data) const { g_object_unref(data); }
};
using Data = std::unique_ptr<UMockdevIoctlData, DataRef>;

std::optional<Bytes> control_request(DeviceState &s, const Setup &setup, const uint8_t *data)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    return dfu_control_request(s.model, setup, data);
}

Data resolve(UMockdevIoctlData *parent, size_t offset, size_t length)
{
    GError *error = nullptr;
    Data data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
    g_clear_error(&error);
    return data;
}

// The zero-length DNLOAD that ends a download was accepted on `client`.
void download_completed(DeviceState &s, UMockdevIoctlClient *client)
{
    Bytes image;
    std::function<void(const Bytes &)> completed;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.finisher = client;
        image = s.model.dfu.image;
        completed = s.hooks.completed;
    }
    if (completed)
        completed(image);
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
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.completed_urbs[client].push_back(urb_data->client_addr);
    }
    if (reply && setup.length == 0 && is_dfu_download(s.model, setup))
        download_completed(s, client);
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

// As the kernel does, one open() of the node at a time may claim an
// interface: a second dfu-util on the same device fails with EBUSY.
// CLAIMINTERFACE and DISCONNECT_CLAIM both start with the interface number.
int claim_interface(DeviceState &s, UMockdevIoctlClient *client)
{
    return with_arg<unsigned int>(client, [&](unsigned int &interface) {
        if (interface >= dfu_interface_count(s.model))
            return ENOENT;
        std::lock_guard<std::mutex> lock(s.mutex);
        auto claim = s.claims.emplace(interface, client).first;
        return claim->second == client ? 0 : EBUSY;
    });
}

int release_interface(DeviceState &s, UMockdevIoctlClient *client)
{
    return with_arg<unsigned int>(client, [&](unsigned int &interface) {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto claim = s.claims.find(interface);
        if (claim == s.claims.end() || claim->second != client)
            return EINVAL;
        s.claims.erase(claim);
        return 0;
    });
}

void release_claims_of(DeviceState &s, UMockdevIoctlClient *client)
{
    for (auto claim = s.claims.begin(); claim != s.claims.end();)
        claim = claim->second == client ? s.claims.erase(claim) : std::next(claim);
}

int set_interface(const DeviceState &s, UMockdevIoctlClient *client)
{
    return with_arg<usbdevfs_setinterface>(client, [&](usbdevfs_setinterface &setting) {
        return setting.interface < dfu_interface_count(s.model) && setting.altsetting == 0 ? 0 : EINVAL;
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
    case USBDEVFS_DISCONNECT_CLAIM: return claim_interface(s, client);
    case USBDEVFS_RELEASEINTERFACE: return release_interface(s, client);
    case USBDEVFS_SETINTERFACE: return set_interface(s, client);
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_CLEAR_HALT: return 0;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: return ENODATA;  // no kernel driver is bound
    default: return ENOTTY;
    }
}

// After a disconnect usbdevfs still hands back the URBs that had
// completed, and answers ENODEV to everything else. libusb learns of a
// disconnect from poll(), which cannot tell it here: refused its URB, it
// would wait for it for ever.
int ioctl_after_unplug(DeviceState &s, UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY)
        return ENODEV;
    const int error = reap_urb(s, client);
    return error == EAGAIN ? ENODEV : error;
}

DeviceState &state_of(gpointer user_data)
{
    return **static_cast<std::shared_ptr<DeviceState> *>(user_data);
}

gboolean on_handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data)
{
    DeviceState &s = state_of(user_data);
    const int error = s.unplugged ? ioctl_after_unplug(s, client) : usbdevfs_ioctl(s, client);
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

// A connection has closed, as when the program closed the node or ended:
// what it claimed is free again.
void on_client_gone(gpointer user_data, GObject *client)
{
    auto *state = static_cast<std::shared_ptr<DeviceState> *>(user_data);
    DeviceState &s = **state;
    std::function<void()> released;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.completed_urbs.erase(UMOCKDEV_IOCTL_CLIENT(client));
        release_claims_of(s, UMOCKDEV_IOCTL_CLIENT(client));
        if (UMOCKDEV_IOCTL_CLIENT(client) == s.finisher) {
            s.finisher = nullptr;
            released = s.hooks.released;
        }
    }
    if (released)
        released();
    delete state;
}

// umockdev 0.17 never emits the handler's "client-vanished" (nor its
// clients' "notify::connected"); a client object is released once its
// connection has closed.
void on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data)
{
    g_object_weak_ref(G_OBJECT(client), on_client_gone,
                      new std::shared_ptr<DeviceState>(*static_cast<std::shared_ptr<DeviceState> *>(user_data)));
}

void connect_handler(UMockdevIoctlBase *handler, const char *signal, GCallback callback,
                     const std::shared_ptr<DeviceState> &state)
{
    g_signal_connect_data(
        handler, signal, callback, new std::shared_ptr<DeviceState>(state),
        [](gpointer data, GClosure *) { delete static_cast<std::shared_ptr<DeviceState> *>(data); },
        GConnectFlags(0));
}

std::string port_problem(UMockdevTestbed *testbed, const UsbPort &port)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string root_dir = root;
    g_free(root);
    if (g_file_test((root_dir + port.devnode()).c_str(), G_FILE_TEST_EXISTS))
        return port.devnode() + " is already taken";
    if (g_file_test((root_dir + port.syspath()).c_str(), G_FILE_TEST_EXISTS))
        return port.name + " is already taken";
    return {};
}

}  // namespace

struct DfuDevice {
    UMockdevTestbed *testbed;
    UMockdevIoctlBase *handler;
    TestbedNodes nodes;
    std::shared_ptr<DeviceState> state;
};

DfuDevice *dfu_device_add(UMockdevTestbed *testbed, const UsbPort &port, const DfuDeviceConfig &config,
                          const DfuDownloadHooks &hooks)
{
    const std::string problem = port_problem(testbed, port);
    if (!problem.empty()) {
        std::fprintf(stderr, "dfu_device_add: %s\n", problem.c_str());
        return nullptr;
    }
    auto state = std::make_shared<DeviceState>();
    state->model = dfu_model_new(config);
    state->hooks = hooks;
    // The handler is in place before the node appears: a program that
    // opened the node first would hold a plain file.
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    connect_handler(handler, "handle-ioctl", G_CALLBACK(on_handle_ioctl), state);
    connect_handler(handler, "client-connected", G_CALLBACK(on_client_connected), state);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, port.devnode().c_str(), handler, &error)) {
        std::fprintf(stderr, "dfu_device_add: cannot attach to %s: %s\n", port.devnode().c_str(),
                     error->message);
        g_error_free(error);
        g_object_unref(handler);
        return nullptr;
    }
    TestbedNodes nodes = add_usb_device(testbed, port, state->model.descriptors, state->model.strings);
    return new DfuDevice{UMOCKDEV_TESTBED(g_object_ref(testbed)), handler, nodes, state};
}

TestbedNodes &dfu_device_nodes(DfuDevice *device) { return device->nodes; }

std::vector<uint8_t> dfu_device_received(DfuDevice *device)
{
    std::lock_guard<std::mutex> lock(device->state->mutex);
    return device->state->model.dfu.image;
}

bool dfu_device_manifested(DfuDevice *device)
{
    std::lock_guard<std::mutex> lock(device->state->mutex);
    return device->state->model.dfu.manifested;
}

void dfu_device_unplug(DfuDevice *device)
{
    device->state->unplugged = true;
    remove_nodes(device->testbed, device->nodes);
}

void dfu_device_free(DfuDevice *device)
{
    if (!device)
        return;
    {
        std::lock_guard<std::mutex> lock(device->state->mutex);
        device->state->hooks = {};  // its owner is going
    }
    umockdev_testbed_detach_ioctl(device->testbed, device->nodes.front().devnode.c_str(), nullptr);
    g_object_unref(device->handler);
    g_object_unref(device->testbed);
    delete device;
}
