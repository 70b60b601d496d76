// ondrix-sim: runs a command against simulated ondrix devices.
//
// It builds a umockdev testbed (a mocked sysfs and /dev) holding the
// devices in the chosen modes, and perhaps other makers' devices, then
// runs the command with the testbed preloaded and answers the devices'
// side while the command runs. It exits with the command's status.

#include "bus_events.h"
#include "dfu_device.h"
#include "hid_device.h"
#include "ondrix_device.h"
#include "ondrix_model.h"
#include "uevent_guard.h"
#include "usb_ports.h"

#include <glib.h>
#include <umockdev.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char USAGE[] =
    "usage: ondrix-sim [OPTION]... -- COMMAND [ARG]...\n"
    "Runs COMMAND against simulated ondrix devices and exits with its status.\n"
    "\"The device\" is the first ondrix device; with no other makers' devices\n"
    "listed before it, it is on port 1-1.\n"
    "\n"
    "  --mode normal|bootloader|both|none\n"
    "                      the device's mode at start (normal); both: the device\n"
    "                      in normal mode and, on the next port, a second one\n"
    "                      already in its bootloader, with the same serial number;\n"
    "                      none: no such device (--also still adds its devices)\n"
    "  --also normal|bootloader\n"
    "                      one more ondrix device in that mode, on the next port,\n"
    "                      behaving as by default but for --flash-time and\n"
    "                      --reset-after-download, serial number OX-00000N (N = 2\n"
    "                      for the first --also, 3 for the next...); repeatable\n"
    "  --plug WHEN:MODE[:SERIAL]\n"
    "                      one more ondrix device, as --also adds, plugged in at\n"
    "                      WHEN in MODE (normal or bootloader), with serial number\n"
    "                      SERIAL (- for none; by default the next OX-00000N after\n"
    "                      the --also devices'); its port is taken at start, the\n"
    "                      next after every device there at start, in the order\n"
    "                      the --plug options are given; repeatable\n"
    "  --unplug WHEN:PORT  the ondrix device on PORT leaves the bus at WHEN,\n"
    "                      whatever its mode; repeatable\n"
    "  --replug WHEN:PORT  at WHEN the ondrix device on PORT is pulled out (if it\n"
    "                      is in) and put back: it comes back on PORT at once in\n"
    "                      normal mode, with its serial number and a new device\n"
    "                      number; after an --unplug of it, it comes back then;\n"
    "                      repeatable\n"
    "                      WHEN: milliseconds after COMMAND starts, or signal: each\n"
    "                      SIGUSR2 the simulator receives carries out the next\n"
    "                      event given with signal (COMMAND's parent is the\n"
    "                      simulator: kill -USR2 $PPID); signals do not queue, so\n"
    "                      send the next once the last one's event is seen\n"
    "  --reset-after-download [MS]\n"
    "                      an ondrix bootloader that has received a whole image\n"
    "                      (accepted the zero-length DNLOAD) resets once the\n"
    "                      program that sent it has closed the device: it leaves\n"
    "                      the bus then, and MS later (500) the device comes back\n"
    "                      in normal mode on its port, with its serial number and\n"
    "                      a new device number\n"
    "  --others N          N other makers' HID devices listed before the device\n"
    "  --foreign-f408      another maker's device with product ID f408, listed first\n"
    "  --leaving-hid other|ondrix\n"
    "                      a HID device, listed before all others, that is leaving\n"
    "                      the bus: its hid node is found, but its uevent cannot be\n"
    "                      read; the others' ports and hidraw nodes are as without it.\n"
    "                      other: another maker's; ondrix: an ondrix device in normal\n"
    "                      mode (serial number OX-000099), as when another run switches it\n"
    "  --two-interfaces    the device shows two HID interfaces in normal mode, each\n"
    "                      with its hidraw node; the reports go to the first\n"
    "  --serial TEXT       the device's serial number (OX-000001)\n"
    "  --switch-delay MS|never|signal\n"
    "                      time from the switch-mode report to the bootloader (0);\n"
    "                      signal: the device leaves the bus at the report, and its\n"
    "                      bootloader comes at the first SIGUSR1 the simulator\n"
    "                      receives after it\n"
    "  --refuse-open       the device cannot be opened\n"
    "  --fail-writes       every report write fails; the device still switches\n"
    "                      after the switch delay, counted from the first failure\n"
    "  --short-writes      report writes go through one byte short\n"
    "  --fail-download-after N\n"
    "                      the bootloader fails to write block N of the image\n"
    "  --fail-first-download-after N\n"
    "                      the same, but only the device's first bootloader: once\n"
    "                      it is replugged, it writes the whole image\n"
    "  --flash-time MS     every ondrix bootloader takes MS to write each block\n"
    "                      of a download, answering dfuDNBUSY meanwhile (0)\n"
    "  --foreign-dfu       another maker's device in DFU mode beside the device\n"
    "  --log FILE          record every report an ondrix device receives, and\n"
    "                      what happens to it when, on lines that start with the\n"
    "                      device's port: \"PORT EVENT at SECONDS\" (the real-time\n"
    "                      clock), EVENT one of \"command report\" (each report),\n"
    "                      \"switch-mode report\", \"bootloader attached\",\n"
    "                      \"download N complete\" (N counts the\n"
    "                      device's complete downloads), \"reset into normal\n"
    "                      mode\", \"plugged in normal mode\", \"plugged in\n"
    "                      bootloader mode\", \"unplugged\", \"replugged\"; at the\n"
    "                      end, what each DFU device received\n"
    "  --verify [PORT=]IMAGE\n"
    "                      at the end, check that the device (the one on PORT)\n"
    "                      received IMAGE intact in its last complete download,\n"
    "                      wherever it is now; if not, say so and fail; repeatable\n";

// A bootloader's reset after a download, when --reset-after-download gives
// no time.
const int DEFAULT_RESET_AFTER_DOWNLOAD_MS = 500;

// A bootloader that is to have received an image; no port: the device's.
struct ImageCheck {
    std::string port;
    std::string image;
};

struct Options {
    std::string mode = "normal";
    int others = 0;
    bool foreign_f408 = false;
    std::string leaving_hid; // "", "other" or "ondrix"
    bool foreign_dfu = false;
    std::vector<OndrixMode> also;
    std::vector<ImageCheck> checks;
    std::vector<BusEvent> bus_events;
    OndrixBehaviour behaviour;
    const char *log_path = nullptr;
    char **command = nullptr;
};

[[noreturn]] void usage_error(const char *problem)
{
    fprintf(stderr, "ondrix-sim: %s\n%s", problem, USAGE);
    exit(2);
}

int parse_count(const char *text)
{
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 600000)
        usage_error("expected a number");
    return static_cast<int>(value);
}

OndrixMode parse_mode(const std::string &mode)
{
    if (mode != "normal" && mode != "bootloader")
        usage_error("unknown mode");
    return mode == "normal" ? OndrixMode::normal : OndrixMode::bootloader;
}

bool is_count(const char *text)
{
    return *text != '\0' && strspn(text, "0123456789") == strlen(text);
}

const char PORT_PATTERN[] = "[0-9]+-[0-9]+(\\.[0-9]+)*";

// "WHEN:REST", WHEN a time in milliseconds or "signal".
BusEvent parse_bus_event(BusAction action, const std::string &text, std::string &rest)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        usage_error("expected WHEN:...");
    const std::string when = text.substr(0, colon);
    rest = text.substr(colon + 1);
    BusEvent event;
    event.action = action;
    event.at_ms = when == "signal" ? -1 : parse_count(when.c_str());
    return event;
}

// WHEN:PORT
BusEvent parse_port_event(BusAction action, const std::string &text)
{
    std::string port;
    BusEvent event = parse_bus_event(action, text, port);
    if (!g_regex_match_simple((std::string("^") + PORT_PATTERN + "$").c_str(), port.c_str(),
                              GRegexCompileFlags(0), GRegexMatchFlags(0)))
        usage_error("expected a port such as 1-10");
    event.port = port;
    return event;
}

// WHEN:MODE[:SERIAL], SERIAL "-" for none.
BusEvent parse_plug(const std::string &text)
{
    std::string rest;
    BusEvent event = parse_bus_event(BusAction::plug, text, rest);
    size_t colon = rest.find(':');
    event.mode = parse_mode(rest.substr(0, colon));
    if (colon != std::string::npos) {
        const std::string serial = rest.substr(colon + 1);
        if (serial.empty())
            usage_error("empty serial number (- for none)");
        event.serial = serial == "-" ? "" : serial;
    }
    return event;
}

// "1-10=b.bin" names a port; "b.bin" or "a=b.bin" does not.
ImageCheck parse_check(const std::string &text)
{
    if (!g_regex_match_simple((std::string("^") + PORT_PATTERN + "=").c_str(), text.c_str(),
                              GRegexCompileFlags(0), GRegexMatchFlags(0)))
        return ImageCheck{"", text};
    size_t equals = text.find('=');
    return ImageCheck{text.substr(0, equals), text.substr(equals + 1)};
}

Options parse_options(int argc, char **argv)
{
    Options options;
    int i = 1;
    auto value = [&]() -> const char * {
        if (i + 1 >= argc)
            usage_error("option needs a value");
        return argv[++i];
    };
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        std::string option = argv[i];
        if (option == "--help") {
            fputs(USAGE, stdout);
            exit(0);
        } else if (option == "--mode")
            options.mode = value();
        else if (option == "--others")
            options.others = parse_count(value());
        else if (option == "--foreign-f408")
            options.foreign_f408 = true;
        else if (option == "--leaving-hid")
            options.leaving_hid = value();
        else if (option == "--two-interfaces")
            options.behaviour.hid_interfaces = 2;
        else if (option == "--serial")
            options.behaviour.serial = value();
        else if (option == "--switch-delay") {
            const char *delay = value();
            options.behaviour.switch_on_signal = strcmp(delay, "signal") == 0;
            if (strcmp(delay, "never") == 0)
                options.behaviour.switch_delay_ms = -1;
            else if (!options.behaviour.switch_on_signal)
                options.behaviour.switch_delay_ms = parse_count(delay);
        } else if (option == "--refuse-open")
            options.behaviour.refuse_open = true;
        else if (option == "--fail-writes")
            options.behaviour.fail_writes = true;
        else if (option == "--short-writes")
            options.behaviour.short_writes = true;
        else if (option == "--fail-download-after")
            options.behaviour.fail_download_after = parse_count(value());
        else if (option == "--fail-first-download-after") {
            options.behaviour.fail_download_after = parse_count(value());
            options.behaviour.fail_first_bootloader_only = true;
        }
        else if (option == "--flash-time")
            options.behaviour.flash_time_ms = parse_count(value());
        else if (option == "--foreign-dfu")
            options.foreign_dfu = true;
        else if (option == "--also")
            options.also.push_back(parse_mode(value()));
        else if (option == "--plug")
            options.bus_events.push_back(parse_plug(value()));
        else if (option == "--unplug")
            options.bus_events.push_back(parse_port_event(BusAction::unplug, value()));
        else if (option == "--replug")
            options.bus_events.push_back(parse_port_event(BusAction::replug, value()));
        else if (option == "--reset-after-download")
            options.behaviour.reset_after_download_ms =
                i + 1 < argc && is_count(argv[i + 1]) ? parse_count(argv[++i]) : DEFAULT_RESET_AFTER_DOWNLOAD_MS;
        else if (option == "--verify")
            options.checks.push_back(parse_check(value()));
        else if (option == "--log")
            options.log_path = value();
        else
            usage_error(("unknown option " + option).c_str());
    }
    if (i + 1 >= argc)
        usage_error("no command given");
    static const char *modes[] = {"normal", "bootloader", "both", "none"};
    if (std::find(std::begin(modes), std::end(modes), options.mode) == std::end(modes))
        usage_error("unknown mode");
    if (!options.leaving_hid.empty() && options.leaving_hid != "other" && options.leaving_hid != "ondrix")
        usage_error("--leaving-hid takes other or ondrix");
    options.command = argv + i + 1;
    return options;
}

DfuDevice *add_foreign_dfu_device(UMockdevTestbed *testbed)
{
    DfuDeviceConfig config{0x0483, 0xdf11, "Other Maker", "DFU in FS Mode", "FX-7", {}};
    config.interface_name = "Internal Flash";
    DfuDevice *device = dfu_device_add(testbed, next_usb_port(), config);
    if (device == nullptr)
        exit(EXIT_FAILURE);
    return device;
}

void add_other_devices(UMockdevTestbed *testbed, const Options &options)
{
    if (options.foreign_f408) {
        HidIdentity gadget{0x1209, 0xf408, "Other Maker", "Gadget", "GX-42"};
        add_usb_hid_device(testbed, next_usb_port(), gadget);
    }
    for (int i = 0; i < options.others; i++) {
        HidIdentity receiver{0x046d, static_cast<uint16_t>(0xc500 + i), "Logitech", "USB Receiver", ""};
        add_usb_hid_device(testbed, next_usb_port(), receiver);
    }
}

// The end of the path of the uevent the command is to be unable to read;
// empty when there is none.
std::string add_leaving_device(UMockdevTestbed *testbed, const Options &options)
{
    if (options.leaving_hid.empty())
        return "";
    HidIdentity keyboard{0x0b05, 0x1866, "Other Maker", "Keyboard", "KX-7"};
    HidIdentity ondrix{ONDRIX_VENDOR_ID, NORMAL_MODE_PRODUCT_ID, ONDRIX_MANUFACTURER, NORMAL_MODE_PRODUCT,
                       "OX-000099"};
    return add_leaving_hid_device(testbed, options.leaving_hid == "ondrix" ? ondrix : keyboard);
}


// An --also or --plug device: OX-00000N, as by default but for what
// --also's usage names.
OndrixBehaviour numbered_behaviour(const Options &options, int number)
{
    OndrixBehaviour behaviour;
    behaviour.flash_time_ms = options.behaviour.flash_time_ms;
    behaviour.reset_after_download_ms = options.behaviour.reset_after_download_ms;
    behaviour.serial = format("OX-%06d", number);
    return behaviour;
}

// The devices to be plugged in later take their ports after these.
void add_ondrix_devices(Options &options)
{
    if (options.mode == "normal" || options.mode == "both")
        ondrix_add(options.behaviour, OndrixMode::normal);
    if (options.mode == "bootloader" || options.mode == "both")
        ondrix_add(options.behaviour, OndrixMode::bootloader);
    int number = 2;
    for (OndrixMode mode : options.also)
        ondrix_add(numbered_behaviour(options, number++), mode);
    for (BusEvent &event : options.bus_events) {
        if (event.action != BusAction::plug)
            continue;
        OndrixBehaviour behaviour = numbered_behaviour(options, number++);
        if (event.serial)
            behaviour.serial = *event.serial;
        event.port = ondrix_reserve(behaviour);
    }
}

// umockdev builds its testbed through the same preloaded library that
// shows it to the command, so the simulator runs under it too; the
// command inherits it. Any library already preloaded (a sanitizer
// runtime) has to stay first. Before umockdev's goes the simulator's own
// (netlink_names.cpp), from beside the simulator.
const char TESTBED_LIBRARY[] = "libumockdev-preload.so.0";
const char NETLINK_NAMES_LIBRARY[] = "libondrix-sim-netlink.so";

std::string netlink_names_library()
{
    gchar *self = g_file_read_link("/proc/self/exe", nullptr);
    gchar *folder = g_path_get_dirname(self != nullptr ? self : ".");
    gchar *library = g_build_filename(folder, NETLINK_NAMES_LIBRARY, nullptr);
    std::string path = library;
    g_free(library);
    g_free(folder);
    g_free(self);
    if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS))
        return path;
    fprintf(stderr, "ondrix-sim: warning: no %s: processes may take each other's udev announcements\n",
            path.c_str());
    return "";
}

void run_under_testbed_library(char **argv)
{
    const char *preload = g_getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, TESTBED_LIBRARY) != nullptr)
        return;
    std::string libraries = TESTBED_LIBRARY;
    const std::string netlink_names = netlink_names_library();
    if (!netlink_names.empty())
        libraries = netlink_names + ":" + libraries;
    if (preload != nullptr && *preload != '\0')
        libraries = std::string(preload) + ":" + libraries;
    g_setenv("LD_PRELOAD", libraries.c_str(), TRUE);
    execv("/proc/self/exe", argv);
    perror("ondrix-sim: cannot restart under umockdev");
    exit(EXIT_FAILURE);
}

// umockdev redirects /sys and /dev but not /run: a command under the
// testbed would find the machine's udev (its control socket and device
// database in /run/udev) and mix it with the testbed's devices, and its
// locks in /run/lock would be those of every other testbed's devices on
// the same ports. An empty /run/udev and /run/lock, in a mount namespace of
// the simulator's own, make udev look not running to the command, as it is
// not running in the testbed, and give the testbed locks of its own.
void hide_machine_run_folder(const char *folder, const char *mode)
{
    if (!g_file_test(folder, G_FILE_TEST_EXISTS))
        return;
    if (mount("tmpfs", folder, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, mode) != 0)
        fprintf(stderr, "ondrix-sim: warning: the command sees the machine's %s: %s\n", folder, strerror(errno));
}

// True when the simulator has a mount namespace of its own.
bool hide_machine_run_state()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "ondrix-sim: warning: the command sees the machine's /run: %s\n", strerror(errno));
        return false;
    }
    hide_machine_run_folder("/run/udev", "mode=0755");
    hide_machine_run_folder("/run/lock", "mode=1777");
    return true;
}

// umockdev keeps the testbed in files under the temporary folder, and
// every arrival or departure of a device writes or removes a few dozen of
// them on umockdev's one worker thread, the thread that answers every
// device. On a busy disk that took up to a few hundred milliseconds per
// mode switch, and the switches of several devices queued up behind each
// other. So the testbed goes on a tmpfs, mounted in the simulator's own
// mount namespace on a folder made for it and removed at exit.
std::string memory_folder;

void remove_memory_folder()
{
    umount2(memory_folder.c_str(), MNT_DETACH);
    rmdir(memory_folder.c_str());
}

void make_memory_folder()
{
    const char *tmpdir = g_getenv("TMPDIR");
    std::string folder = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/ondrix-sim.XXXXXX";
    if (mkdtemp(&folder[0]) == nullptr) {
        fprintf(stderr, "ondrix-sim: warning: the testbed stays on disk: %s\n", strerror(errno));
        return;
    }
    if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        fprintf(stderr, "ondrix-sim: warning: the testbed stays on disk: %s\n", strerror(errno));
        rmdir(folder.c_str());
        return;
    }
    memory_folder = folder;
    atexit(remove_memory_folder);
}

// umockdev makes the testbed's folder in GLib's temporary folder, which
// TMPDIR sets; the command gets TMPDIR as it was.
UMockdevTestbed *new_testbed(bool own_mounts)
{
    if (own_mounts)
        make_memory_folder();
    const char *tmpdir = g_getenv("TMPDIR");
    const std::string saved = tmpdir != nullptr ? tmpdir : "";
    if (!memory_folder.empty())
        g_setenv("TMPDIR", memory_folder.c_str(), TRUE);
    UMockdevTestbed *testbed = umockdev_testbed_new();
    if (tmpdir != nullptr)
        g_setenv("TMPDIR", saved.c_str(), TRUE);
    else
        g_unsetenv("TMPDIR");
    return testbed;
}

// umockdev hands udev's announcements to each listener as datagrams on a
// Unix socket, and aborts the whole testbed when one cannot be queued. A
// kernel's default queue of 10 datagrams fills up when several devices
// switch at once while their launchers are busy elsewhere (udev's own
// netlink sockets hold far more): the testbed gets a network namespace of
// its own, with room for a few thousand.
void give_announcements_room()
{
    const char *queue_length = "/proc/sys/net/unix/max_dgram_qlen";
    FILE *setting = nullptr;
    if (unshare(CLONE_NEWNET) != 0 || (setting = fopen(queue_length, "w")) == nullptr) {
        fprintf(stderr, "ondrix-sim: warning: udev's announcements may overflow: %s\n", strerror(errno));
        return;
    }
    fprintf(setting, "4096\n");
    if (fclose(setting) != 0)
        fprintf(stderr, "ondrix-sim: warning: udev's announcements may overflow: %s\n", strerror(errno));
}

// Every user sees the testbed's devices, as every user sees sysfs: the
// command may switch to another user.
void open_testbed_to_every_user(UMockdevTestbed *testbed)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    if (chmod(root, 0755) != 0)
        fprintf(stderr, "ondrix-sim: warning: the testbed is root's alone: %s\n", strerror(errno));
    g_free(root);
}

struct Run {
    GMainLoop *loop;
    int status;
};

void on_command_exit(GPid pid, gint wait_status, gpointer data)
{
    Run *run = static_cast<Run *>(data);
    if (WIFEXITED(wait_status))
        run->status = WEXITSTATUS(wait_status);
    else
        run->status = 128 + WTERMSIG(wait_status);
    g_spawn_close_pid(pid);
    g_main_loop_quit(run->loop);
}

// The bus events' clock starts with the command. The command alone gets
// the path of the uevent it cannot read (unreadable_uevent.cpp): umockdev
// writes that file in this process.
int run_command(char **command, BusSchedule &schedule, const std::string &unreadable_uevent)
{
    GPid pid;
    GError *error = nullptr;
    GSpawnFlags flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                 G_SPAWN_CHILD_INHERITS_STDIN);
    gchar **env = g_get_environ();
    if (!unreadable_uevent.empty())
        env = g_environ_setenv(env, "ONDRIX_SIM_UNREADABLE_UEVENT", unreadable_uevent.c_str(), TRUE);
    gboolean started = g_spawn_async(nullptr, command, env, flags, nullptr, nullptr, &pid, &error);
    g_strfreev(env);
    if (!started) {
        fprintf(stderr, "ondrix-sim: cannot run %s: %s\n", command[0], error->message);
        g_error_free(error);
        return 127;
    }
    start_bus_clock(schedule);
    Run run{g_main_loop_new(nullptr, FALSE), 0};
    g_child_watch_add(pid, on_command_exit, &run);
    g_main_loop_run(run.loop);
    g_main_loop_unref(run.loop);
    return run.status;
}

void log_download(FILE *log, const std::string &identity, const std::vector<uint8_t> &image, bool complete)
{
    if (log != nullptr)
        fprintf(log, "download %s %zu bytes%s\n", identity.c_str(), image.size(), complete ? " complete" : "");
}

// Says whether the bootloader holds exactly the image, complete.
bool verify_image(const ImageCheck &check, const OndrixDownload &download)
{
    const char *path = check.image.c_str();
    std::string device = check.port.empty() ? "the device" : "the device on " + check.port;
    gchar *content = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path, &content, &length, nullptr)) {
        fprintf(stderr, "ondrix-sim: cannot read %s to check what %s received\n", path, device.c_str());
        return false;
    }
    std::vector<uint8_t> expected(content, content + length);
    g_free(content);
    const std::vector<uint8_t> &received = download.image;
    bool intact = download.complete && received == expected;
    if (intact)
        fprintf(stderr, "ondrix-sim: %s received %s intact (%zu bytes)\n", device.c_str(), path, received.size());
    else
        fprintf(stderr, "ondrix-sim: %s did not receive %s intact (%zu of %zu bytes%s)\n", device.c_str(),
                path, received.size(), expected.size(), download.complete ? "" : ", download not finished");
    return intact;
}

// What the bootloader the check is about received; nothing if there is no such device.
OndrixDownload download_for(const ImageCheck &check, const std::vector<OndrixDownload> &downloads)
{
    for (const OndrixDownload &download : downloads)
        if (check.port.empty() || download.port == check.port)
            return download;
    return OndrixDownload{check.port, false, {}, false};
}

// Records what each DFU device received; false when a --verify failed.
bool report_downloads(const Options &options, FILE *log, DfuDevice *foreign_dfu)
{
    if (foreign_dfu != nullptr)
        log_download(log, "0483:df11", dfu_device_received(foreign_dfu), dfu_device_manifested(foreign_dfu));
    std::vector<OndrixDownload> downloads = ondrix_downloads();
    for (const OndrixDownload &download : downloads)
        if (download.bootloader_attached)
            log_download(log, "040e:f003 on " + download.port, download.image, download.complete);
    bool all_intact = true;
    for (const ImageCheck &check : options.checks)
        all_intact = verify_image(check, download_for(check, downloads)) && all_intact;
    return all_intact;
}

} // namespace

int main(int argc, char **argv)
{
    Options options = parse_options(argc, argv);
    run_under_testbed_library(argv);
    const bool own_mounts = hide_machine_run_state();
    give_announcements_room();
    FILE *log = nullptr;
    if (options.log_path != nullptr) {
        log = fopen(options.log_path, "w");
        if (log == nullptr) {
            perror(options.log_path);
            return 2;
        }
    }

    UMockdevTestbed *testbed = new_testbed(own_mounts);
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    drop_announcements_to_gone_listeners(root);
    g_free(root);
    open_testbed_to_every_user(testbed);
    add_other_devices(testbed, options);
    DfuDevice *foreign_dfu = options.foreign_dfu ? add_foreign_dfu_device(testbed) : nullptr;
    ondrix_setup(testbed, log);
    add_ondrix_devices(options);
    // Last: it takes no port or node number from the others.
    const std::string unreadable_uevent = add_leaving_device(testbed, options);
    BusSchedule schedule{options.bus_events};
    listen_for_bus_signals(schedule);
    int status = run_command(options.command, schedule, unreadable_uevent);
    if (!report_downloads(options, log, foreign_dfu) && status == 0)
        status = EXIT_FAILURE;

    ondrix_teardown();
    dfu_device_free(foreign_dfu);
    g_object_unref(testbed);
    if (log != nullptr)
        fclose(log);
    return status;
}
