// ondrix-gadget: the ondrix device on a real kernel's USB bus.
//
// It serves the device through GadgetFS on a device controller (the
// kernel's dummy_udc, whose host side is dummy_hcd), so that the host's
// own USB core, usbhid, hidraw and usbfs see it as they would see the
// hardware. In normal mode (040e:f408) it takes the command reports on its
// interrupt OUT endpoint; the switch-mode report makes it leave the bus
// and come back as the bootloader (040e:f003), which takes a DFU download.
// What it does with each request is the same model the umockdev simulator
// uses. It logs what happened on standard output and runs until SIGTERM
// or SIGINT.
//
// GadgetFS serves one device at a time, and binds the first controller
// no other gadget holds. Two devices on two controllers therefore take
// turns: each has its normal mode as a configfs HID gadget on its own
// controller (--normal-gadget), takes GadgetFS only for its bootloader,
// and after a completed download reboots into normal mode, as a real
// device boots its new firmware, which leaves GadgetFS to the other.

#include "gadgetfs.h"
#include "ondrix_model.h"

#include <fcntl.h>
#include <glib.h>
#include <glob.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char USAGE[] =
    "usage: ondrix-gadget [OPTION]...\n"
    "Serves the ondrix device through GadgetFS until SIGTERM or SIGINT.\n"
    "\n"
    "  --mode normal|bootloader  the device's mode at start (normal)\n"
    "  --serial TEXT             its serial number (OX-000001)\n"
    "  --gadgetfs DIR            where gadgetfs is mounted (/dev/gadget)\n"
    "  --controller NAME         the device controller's file there (dummy_udc)\n"
    "  --ignore-switch           stay in normal mode after the switch-mode report\n"
    "  --leave-during-write      take the first report only, then leave for the\n"
    "                            bootloader 1 s later, failing the host's next write\n"
    "  --leave-during-download N leave the bus when block N of a download comes\n"
    "  --trace                   log every control request the host makes\n"
    "  --normal-gadget DIR       normal mode is the configfs HID gadget DIR (its\n"
    "                            f_hid function linked into its configuration),\n"
    "                            bound to --udc; after a completed download the\n"
    "                            bootloader reboots into it\n"
    "  --udc NAME                the device's own controller (dummy_udc.0); the\n"
    "                            bootloader fails when GadgetFS took another\n"
    "  --gadgetfs-lock FILE      held while the device uses GadgetFS\n"
    "                            (/run/ondrix-gadget.lock)\n";

// GadgetFS passes no OUT control transfer longer than this to user space.
const uint16_t GADGET_TRANSFER_SIZE = 256;

// The host sees the device gone 1 s after its last report, mid-write.
const int LEAVE_DURING_WRITE_MS = 1000;

// A device with a normal mode to reboot into does so this long after the
// host's last request once its download has ended: GadgetFS must not be
// closed while an answer on ep0 is still queued (6.1 oopses in
// ep0_complete).
const int REBOOT_AFTER_MS = 500;

// The DFU class request that ends a download: the host's GETSTATUS after
// the zero-length DNLOAD, answered with dfuIDLE.
const uint8_t DFU_GETSTATUS = 3;

// What GadgetFS calls itself as a controller's function: "USB Gadget
// filesystem" on 6.1.
const char GADGETFS_FUNCTION[] = "gadget filesystem";

struct Options {
    std::string mode = "normal";
    std::string serial = DEFAULT_SERIAL;
    std::string folder = "/dev/gadget";
    std::string controller = "dummy_udc";
    bool ignore_switch = false;
    bool leave_during_write = false;
    long leave_at_block = -1;
    bool trace = false;
    std::string normal_gadget;
    std::string udc;
    std::string gadgetfs_lock = "/run/ondrix-gadget.lock";
};

[[noreturn]] void usage_error(const char *problem)
{
    fprintf(stderr, "ondrix-gadget: %s\n%s", problem, USAGE);
    exit(2);
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage_error("option needs a value");
            return argv[++i];
        };
        if (option == "--help") {
            fputs(USAGE, stdout);
            exit(0);
        } else if (option == "--mode")
            o.mode = value();
        else if (option == "--serial")
            o.serial = value();
        else if (option == "--gadgetfs")
            o.folder = value();
        else if (option == "--controller")
            o.controller = value();
        else if (option == "--ignore-switch")
            o.ignore_switch = true;
        else if (option == "--leave-during-write")
            o.leave_during_write = true;
        else if (option == "--leave-during-download")
            o.leave_at_block = strtol(value().c_str(), nullptr, 10);
        else if (option == "--trace")
            o.trace = true;
        else if (option == "--normal-gadget")
            o.normal_gadget = value();
        else if (option == "--udc")
            o.udc = value();
        else if (option == "--gadgetfs-lock")
            o.gadgetfs_lock = value();
        else
            usage_error(("unknown option " + option).c_str());
    }
    if (o.mode != "normal" && o.mode != "bootloader")
        usage_error("unknown mode");
    if (!o.normal_gadget.empty() && o.udc.empty())
        usage_error("--normal-gadget needs --udc");
    if (!o.normal_gadget.empty() && o.leave_during_write)
        usage_error("--leave-during-write needs normal mode on GadgetFS");
    return o;
}

// What ends the main loop's wait. Signals and the report reader send
// theirs through a pipe.
enum class Wake : char { EP0, TIMEOUT, NOTHING, STOP, SWITCH, LEAVE_SOON };
int wake_pipe[2];

void wake(Wake why) { (void)!write(wake_pipe[1], &why, 1); }

void on_stop_signal(int) { wake(Wake::STOP); }
void on_interrupt_read(int) {}

void install_signals()
{
    if (pipe(wake_pipe) != 0) {
        perror("ondrix-gadget: pipe");
        exit(1);
    }
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // No SA_RESTART: SIGUSR1 breaks the report reader out of its read().
    action.sa_handler = on_interrupt_read;
    sigaction(SIGUSR1, &action, nullptr);
}

// On the steady clock, which is CLOCK_MONOTONIC: the clock udevadm
// monitor stamps its lines with, so the two logs compare directly.
long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void say(const std::string &line) { printf("%s\n", line.c_str()); }

std::string monotonic_stamp() { return std::to_string(now_ms()) + " ms of the monotonic clock"; }

std::string read_line(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

bool write_text(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (!written)
        fprintf(stderr, "ondrix-gadget: cannot write to %s: %s\n", path.c_str(), strerror(errno));
    if (fd >= 0)
        close(fd);
    return written;
}

// The device's turn with GadgetFS, which binds the first controller no
// other gadget holds: it is given back only once the device's own
// controller is taken again, by its normal mode, so that the next
// device's bootloader lands on the controller left free, its own.
int gadgetfs_turn = -1;

// False when a stop signal came first.
bool take_gadgetfs_turn(const Options &o)
{
    if (gadgetfs_turn >= 0)
        return true;
    const long long asked_at = now_ms();
    gadgetfs_turn = open(o.gadgetfs_lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (gadgetfs_turn < 0) {
        fprintf(stderr, "ondrix-gadget: %s: %s\n", o.gadgetfs_lock.c_str(), strerror(errno));
        exit(1);
    }
    // The stop signals interrupt the wait (no SA_RESTART).
    if (flock(gadgetfs_turn, LOCK_EX) != 0)
        return false;
    say("took GadgetFS after " + std::to_string(now_ms() - asked_at) + " ms");
    return true;
}

void give_gadgetfs_turn_back()
{
    if (gadgetfs_turn >= 0)
        close(gadgetfs_turn);
    gadgetfs_turn = -1;
}

// GadgetFS cannot be told which controller to take: check it took ours.
bool gadgetfs_on_own_controller(const Options &o)
{
    if (o.udc.empty())
        return true;
    const std::string function = read_line("/sys/class/udc/" + o.udc + "/function");
    if (strcasestr(function.c_str(), GADGETFS_FUNCTION) != nullptr)
        return true;
    fprintf(stderr, "ondrix-gadget: GadgetFS did not take %s (its function: '%s')\n", o.udc.c_str(),
            function.c_str());
    return false;
}

// "setup 80 06 0300 0000 255": request type, request, value, index, length.
std::string setup_line(const Setup &setup)
{
    char text[48];
    snprintf(text, sizeof text, "setup %02x %02x %04x %04x %u", setup.request_type, setup.request,
             setup.value, setup.index, setup.length);
    return text;
}

// The control requests the device answers, in the order they come.
std::vector<Setup> requests_of(Gadget &gadget)
{
    std::vector<Setup> requests;
    for (const GadgetEvent &event : gadget_read_events(gadget))
        if (event.type == GadgetEvent::SETUP)
            requests.push_back(event.setup);
    return requests;
}

// The data of an OUT request, read before anything else is done: the host
// may not wait for it. False when it was lost all the same.
bool take_request(Gadget &gadget, const Setup &setup, Bytes &data, const Options &o)
{
    const bool taken = setup.is_in() || setup.length == 0 || gadget_read_out_data(gadget, setup, data);
    if (o.trace || !taken)
        say((taken ? "" : "lost the data of ") + setup_line(setup));
    return taken;
}

// Waits for events on ep0 (when the device is on the bus) or a wake-up.
Wake wait_for_work(const Gadget &gadget, int timeout_ms)
{
    pollfd fds[2] = {{wake_pipe[0], POLLIN, 0}, {gadget.ep0, POLLIN, 0}};
    int ready = poll(fds, 2, timeout_ms);
    if (ready == 0)
        return Wake::TIMEOUT;
    Wake why = Wake::NOTHING;
    if (ready > 0 && (fds[0].revents & POLLIN))
        (void)!read(wake_pipe[0], &why, 1);
    else if (ready > 0 && (fds[1].revents & POLLIN))
        why = Wake::EP0;
    return why;
}

bool is_set_configuration(const Setup &setup)
{
    return setup.request_type == 0x00 && setup.request == 9 && setup.value != 0;
}

// Reads the command reports from the interrupt OUT endpoint on a thread
// of its own, so that ep0 stays served meanwhile.
struct ReportReader {
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> done{false};
};

// What the device does with one report: false when it takes no more.
bool take_report(const uint8_t *report, size_t length, const Options &o)
{
    say(report_line(report, length));
    if (o.leave_during_write) {
        wake(Wake::LEAVE_SOON);
        return false;
    }
    if (is_switch_mode_report(report, length) && !o.ignore_switch) {
        wake(Wake::SWITCH);
        return false;
    }
    return true;
}

// f_hid's node (a configfs gadget) fails a read with ESHUTDOWN while the
// host has not configured the device (6.12; 6.1 waits): that read is
// tried again.
void read_reports(ReportReader &reader, int fd, const Options &o, bool hid_function)
{
    uint8_t report[HID_MAX_PACKET];
    for (;;) {
        ssize_t length = read(fd, report, sizeof report);
        if (length < 0 && errno == ESHUTDOWN && hid_function && !reader.stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (reader.stopping || (length < 0 && errno != EINTR))
            break;
        if (length >= 0 && !take_report(report, size_t(length), o))
            break;
    }
    reader.done = true;
}

// The reader may be between two reads when the first signal comes, so
// it is signalled until it has gone.
void stop_reader(ReportReader &reader)
{
    if (!reader.thread.joinable())
        return;
    reader.stopping = true;
    while (!reader.done) {
        pthread_kill(reader.thread.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader.thread.join();
}

void answer_normal_mode(Gadget &gadget, const NormalModeModel &model, const Setup &setup,
                        ReportReader &reader, const Options &o)
{
    if (is_set_configuration(setup) && !reader.thread.joinable()) {
        gadget_enable_endpoint(gadget, endpoint_descriptor(HID_IN_ENDPOINT));
        int out = gadget_enable_endpoint(gadget, endpoint_descriptor(HID_OUT_ENDPOINT));
        if (out >= 0)
            reader.thread = std::thread(read_reports, std::ref(reader), out, std::cref(o), false);
    }
    Bytes data;
    if (take_request(gadget, setup, data, o))
        gadget_answer(gadget, setup, normal_mode_control_request(model, setup));
}

Gadget gadget_of(const Options &o)
{
    Gadget gadget;
    gadget.folder = o.folder;
    gadget.controller = o.controller;
    return gadget;
}

enum class Next { NORMAL, BOOTLOADER, STOP };

Next serve_normal_mode(const Options &o)
{
    const NormalModeModel model = normal_mode_model(o.serial);
    Gadget gadget = gadget_of(o);
    if (!gadget_connect(gadget, model.descriptors))
        exit(1);
    say("normal mode on the bus");
    ReportReader reader;
    long long leave_at = -1;
    Next next = Next::STOP;
    for (;;) {
        int timeout = leave_at < 0 ? -1 : int(std::max(0LL, leave_at - now_ms()));
        Wake why = wait_for_work(gadget, timeout);
        if (why == Wake::STOP)
            break;
        if (why == Wake::SWITCH || why == Wake::TIMEOUT) {
            next = Next::BOOTLOADER;
            break;
        }
        if (why == Wake::LEAVE_SOON)
            leave_at = now_ms() + LEAVE_DURING_WRITE_MS;
        if (why != Wake::EP0)
            continue;
        for (const Setup &setup : requests_of(gadget))
            answer_normal_mode(gadget, model, setup, reader, o);
    }
    stop_reader(reader);
    gadget_disconnect(gadget);
    say("normal mode left the bus at " + monotonic_stamp());
    return next;
}

// Normal mode as a configfs HID gadget on the device's own controller:
// the kernel's f_hid answers the host, the reports arrive at its node.
std::string hid_function_node(const Options &o)
{
    glob_t found;
    std::string node;
    if (glob((o.normal_gadget + "/functions/hid.*/dev").c_str(), 0, nullptr, &found) == 0) {
        const std::string numbers = read_line(found.gl_pathv[0]);  // MAJOR:MINOR
        node = "/dev/hidg" + numbers.substr(numbers.find(':') + 1);
    }
    globfree(&found);
    return node;
}

Next serve_normal_mode_on_configfs(const Options &o)
{
    if (!write_text(o.normal_gadget + "/UDC", o.udc))
        exit(1);
    give_gadgetfs_turn_back();
    // 6.1 makes the function's node when the gadget is bound.
    const std::string node = hid_function_node(o);
    int fd = node.empty() ? -1 : open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "ondrix-gadget: cannot open the HID function node of %s (%s): %s\n",
                o.normal_gadget.c_str(), node.c_str(), strerror(errno));
        write_text(o.normal_gadget + "/UDC", "\n");
        exit(1);
    }
    say("normal mode on the bus");
    ReportReader reader;
    reader.thread = std::thread(read_reports, std::ref(reader), fd, std::cref(o), true);
    const Gadget none;  // no ep0 to serve
    Next next = Next::STOP;
    for (;;) {
        Wake why = wait_for_work(none, -1);
        if (why == Wake::STOP)
            break;
        if (why == Wake::SWITCH) {
            next = Next::BOOTLOADER;
            break;
        }
    }
    stop_reader(reader);
    close(fd);
    write_text(o.normal_gadget + "/UDC", "\n");
    say("normal mode left the bus at " + monotonic_stamp());
    return next;
}

std::string sha256_hex(const Bytes &data)
{
    gchar *hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, data.data(), data.size());
    std::string text = hex;
    g_free(hex);
    return text;
}

void report_download(const Bytes &image)
{
    say("device received " + std::to_string(image.size()) + " bytes, sha256 " + sha256_hex(image));
}

// What the bootloader keeps track of while it is on the bus.
struct BootloaderRun {
    DfuModel model;
    long long on_bus_at;
    long long configured_at = -1;
    bool dfu_seen = false;
    bool download_ended = false;  // the host has seen it manifested
};

void note_timing(BootloaderRun &run, const Setup &setup)
{
    if (is_set_configuration(setup) && run.configured_at < 0)
        run.configured_at = now_ms();
    if (run.dfu_seen || !is_dfu_request(run.model, setup))
        return;
    run.dfu_seen = true;
    say("bootloader on the bus to its first DFU request: " + std::to_string(now_ms() - run.on_bus_at) +
        " ms (configured by the host after " + std::to_string(run.configured_at - run.on_bus_at) + " ms)");
}

// Returns false when the device has left the bus.
bool answer_bootloader(Gadget &gadget, BootloaderRun &run, const Setup &setup, const Options &o)
{
    if (is_set_configuration(setup))
        gadget_enable_endpoint(gadget, endpoint_descriptor(HID_IN_ENDPOINT));
    if (is_dfu_download(run.model, setup) && setup.length > 0 && setup.value == o.leave_at_block) {
        gadget_disconnect(gadget);
        say("bootloader left the bus during block " + std::to_string(setup.value));
        report_download(run.model.dfu.image);
        return false;
    }
    Bytes data;
    if (!take_request(gadget, setup, data, o))
        return true;
    note_timing(run, setup);
    const bool was_manifested = run.model.dfu.manifested;
    gadget_answer(gadget, setup, dfu_control_request(run.model, setup, data.data()));
    if (run.model.dfu.manifested && !was_manifested)
        report_download(run.model.dfu.image);
    else if (run.model.dfu.manifested && is_dfu_request(run.model, setup) && setup.request == DFU_GETSTATUS)
        run.download_ended = true;
    return true;
}

// Serves the bootloader until a stop, or until the end of a download
// when the device has a normal mode to reboot into (Next::NORMAL).
Next serve_bootloader(const Options &o)
{
    BootloaderRun run{dfu_model_new(bootloader_config(o.serial, GADGET_TRANSFER_SIZE, -1)), 0};
    Gadget gadget = gadget_of(o);
    if (!gadget_connect(gadget, run.model.descriptors) || !gadgetfs_on_own_controller(o))
        exit(1);
    run.on_bus_at = now_ms();
    say("bootloader on the bus at " + std::to_string(run.on_bus_at) + " ms of the monotonic clock");
    const bool reboots = !o.normal_gadget.empty();
    bool on_bus = true;
    long long reboot_at = -1;
    Wake why;
    for (;;) {
        why = wait_for_work(gadget, reboot_at < 0 ? -1 : int(std::max(0LL, reboot_at - now_ms())));
        if (why == Wake::STOP || why == Wake::TIMEOUT)
            break;
        if (why != Wake::EP0 || !on_bus)
            continue;
        for (const Setup &setup : requests_of(gadget))
            on_bus = on_bus && answer_bootloader(gadget, run, setup, o);
        if (reboots && run.download_ended)
            reboot_at = now_ms() + REBOOT_AFTER_MS;
    }
    gadget_disconnect(gadget);
    if (why == Wake::STOP)
        return Next::STOP;
    say("bootloader left the bus to reboot into normal mode at " + monotonic_stamp());
    return Next::NORMAL;
}

// Normal mode keeps GadgetFS when it is served through it: the
// bootloader follows on the same controller.
Next serve_normal(const Options &o)
{
    if (!o.normal_gadget.empty())
        return serve_normal_mode_on_configfs(o);
    if (!take_gadgetfs_turn(o))
        return Next::STOP;
    return serve_normal_mode(o);
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse_options(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    install_signals();
    Next next = options.mode == "normal" ? Next::NORMAL : Next::BOOTLOADER;
    while (next != Next::STOP) {
        if (next == Next::NORMAL)
            next = serve_normal(options);
        else if (!take_gadgetfs_turn(options))
            next = Next::STOP;
        else
            next = serve_bootloader(options);
    }
    return 0;
}
