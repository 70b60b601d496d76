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

#include "gadgetfs.h"
#include "ondrix_model.h"

#include <glib.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    "  --trace                   log every control request the host makes\n";

// GadgetFS passes no OUT control transfer longer than this to user space.
const uint16_t GADGET_TRANSFER_SIZE = 256;

// The host sees the device gone 1 s after its last report, mid-write.
const int LEAVE_DURING_WRITE_MS = 1000;

struct Options {
    std::string mode = "normal";
    std::string serial = DEFAULT_SERIAL;
    std::string folder = "/dev/gadget";
    std::string controller = "dummy_udc";
    bool ignore_switch = false;
    bool leave_during_write = false;
    long leave_at_block = -1;
    bool trace = false;
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
        else
            usage_error(("unknown option " + option).c_str());
    }
    if (o.mode != "normal" && o.mode != "bootloader")
        usage_error("unknown mode");
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

void read_reports(ReportReader &reader, int fd, const Options &o)
{
    uint8_t report[HID_MAX_PACKET];
    for (;;) {
        ssize_t length = read(fd, report, sizeof report);
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
            reader.thread = std::thread(read_reports, std::ref(reader), out, std::cref(o));
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

enum class Next { BOOTLOADER, STOP };

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
    say("normal mode left the bus");
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
    return true;
}

void serve_bootloader(const Options &o)
{
    BootloaderRun run{dfu_model_new(bootloader_config(o.serial, GADGET_TRANSFER_SIZE, -1)), 0};
    Gadget gadget = gadget_of(o);
    if (!gadget_connect(gadget, run.model.descriptors))
        exit(1);
    run.on_bus_at = now_ms();
    say("bootloader on the bus at " + std::to_string(run.on_bus_at) + " ms of the monotonic clock");
    bool on_bus = true;
    for (;;) {
        Wake why = wait_for_work(gadget, -1);
        if (why == Wake::STOP)
            break;
        if (why != Wake::EP0 || !on_bus)
            continue;
        for (const Setup &setup : requests_of(gadget))
            on_bus = on_bus && answer_bootloader(gadget, run, setup, o);
    }
    gadget_disconnect(gadget);
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse_options(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    install_signals();
    if (options.mode == "normal" && serve_normal_mode(options) == Next::STOP)
        return 0;
    serve_bootloader(options);
    return 0;
}
