// ondrix-sim: runs a command against a simulated ondrix device.
//
// It builds a umockdev testbed (a mocked sysfs and /dev) holding the
// device in the chosen mode, and perhaps other makers' devices, then runs
// the command with the testbed preloaded and answers the device's side
// while the command runs. It exits with the command's status.

#include "dfu_device.h"
#include "hid_device.h"
#include "ondrix_device.h"
#include "usb_ports.h"

#include <glib.h>
#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char USAGE[] =
    "usage: ondrix-sim [OPTION]... -- COMMAND [ARG]...\n"
    "Runs COMMAND against a simulated ondrix device and exits with its status.\n"
    "\n"
    "  --mode normal|bootloader|both|none  the device's mode at start (normal)\n"
    "  --others N          N other makers' HID devices listed before the device\n"
    "  --foreign-f408      another maker's device with product ID f408, listed first\n"
    "  --serial TEXT       the device's serial number (OX-000001)\n"
    "  --switch-delay MS|never\n"
    "                      time from the switch-mode report to the bootloader (0)\n"
    "  --refuse-open       the device cannot be opened\n"
    "  --fail-writes       every report write fails; the device still switches\n"
    "                      after the switch delay, counted from the first failure\n"
    "  --short-writes      report writes go through one byte short\n"
    "  --fail-download-after N\n"
    "                      the bootloader fails to write block N of the image\n"
    "  --foreign-dfu       another maker's device in DFU mode beside the device\n"
    "  --log FILE          record every report the device receives, and what\n"
    "                      each DFU device received\n"
    "  --verify IMAGE      at the end, check that the bootloader received IMAGE\n"
    "                      intact; if not, say so and fail\n";

struct Options {
    std::string mode = "normal";
    int others = 0;
    bool foreign_f408 = false;
    bool foreign_dfu = false;
    const char *verify_path = nullptr;
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
        else if (option == "--serial")
            options.behaviour.serial = value();
        else if (option == "--switch-delay") {
            const char *delay = value();
            options.behaviour.switch_delay_ms = strcmp(delay, "never") == 0 ? -1 : parse_count(delay);
        } else if (option == "--refuse-open")
            options.behaviour.refuse_open = true;
        else if (option == "--fail-writes")
            options.behaviour.fail_writes = true;
        else if (option == "--short-writes")
            options.behaviour.short_writes = true;
        else if (option == "--fail-download-after")
            options.behaviour.fail_download_after = parse_count(value());
        else if (option == "--foreign-dfu")
            options.foreign_dfu = true;
        else if (option == "--verify")
            options.verify_path = value();
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
        add_usb_hid_device(testbed, next_usb_port().name, gadget);
    }
    for (int i = 0; i < options.others; i++) {
        HidIdentity receiver{0x046d, static_cast<uint16_t>(0xc500 + i), "Logitech", "USB Receiver", ""};
        add_usb_hid_device(testbed, next_usb_port().name, receiver);
    }
}

void add_ondrix_device(UMockdevTestbed *testbed, const Options &options)
{
    ondrix_setup(testbed, options.behaviour);
    if (options.mode == "normal" || options.mode == "both")
        ondrix_attach_normal();
    if (options.mode == "bootloader" || options.mode == "both")
        ondrix_attach_bootloader();
}

// umockdev builds its testbed through the same preloaded library that
// shows it to the command, so the simulator runs under it too; the
// command inherits it. Any library already preloaded (a sanitizer
// runtime) has to stay first.
const char TESTBED_LIBRARY[] = "libumockdev-preload.so.0";

void run_under_testbed_library(char **argv)
{
    const char *preload = g_getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, TESTBED_LIBRARY) != nullptr)
        return;
    std::string libraries = TESTBED_LIBRARY;
    if (preload != nullptr && *preload != '\0')
        libraries = std::string(preload) + ":" + libraries;
    g_setenv("LD_PRELOAD", libraries.c_str(), TRUE);
    execv("/proc/self/exe", argv);
    perror("ondrix-sim: cannot restart under umockdev");
    exit(EXIT_FAILURE);
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

int run_command(char **command)
{
    GPid pid;
    GError *error = nullptr;
    GSpawnFlags flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                 G_SPAWN_CHILD_INHERITS_STDIN);
    gboolean started = g_spawn_async(nullptr, command, nullptr, flags, nullptr, nullptr, &pid, &error);
    if (!started) {
        fprintf(stderr, "ondrix-sim: cannot run %s: %s\n", command[0], error->message);
        g_error_free(error);
        return 127;
    }
    Run run{g_main_loop_new(nullptr, FALSE), 0};
    g_child_watch_add(pid, on_command_exit, &run);
    g_main_loop_run(run.loop);
    g_main_loop_unref(run.loop);
    return run.status;
}

void log_download(FILE *log, const char *identity, const std::vector<uint8_t> &image, bool complete)
{
    if (log != nullptr)
        fprintf(log, "download %s %zu bytes%s\n", identity, image.size(), complete ? " complete" : "");
}

std::vector<uint8_t> read_image(const char *path)
{
    gchar *content = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path, &content, &length, nullptr))
        return {};
    std::vector<uint8_t> image(content, content + length);
    g_free(content);
    return image;
}

// Says whether the bootloader holds exactly the image, complete.
bool verify_image(const char *path, const std::vector<uint8_t> &received, bool complete)
{
    std::vector<uint8_t> expected = read_image(path);
    bool intact = complete && received == expected;
    if (intact)
        fprintf(stderr, "ondrix-sim: the device received %s intact (%zu bytes)\n", path, received.size());
    else
        fprintf(stderr, "ondrix-sim: the device did not receive %s intact (%zu of %zu bytes%s)\n", path,
                received.size(), expected.size(), complete ? "" : ", download not finished");
    return intact;
}

// Records what each DFU device received; false when --verify failed.
bool report_downloads(const Options &options, DfuDevice *foreign_dfu)
{
    FILE *log = options.behaviour.log;
    if (foreign_dfu != nullptr)
        log_download(log, "0483:df11", dfu_device_received(foreign_dfu), dfu_device_manifested(foreign_dfu));
    std::vector<uint8_t> image;
    bool complete = false;
    bool attached = ondrix_received_image(image, complete);
    if (attached)
        log_download(log, "040e:f003", image, complete);
    if (options.verify_path == nullptr)
        return true;
    return verify_image(options.verify_path, image, complete);
}

} // namespace

int main(int argc, char **argv)
{
    Options options = parse_options(argc, argv);
    run_under_testbed_library(argv);
    if (options.log_path != nullptr) {
        options.behaviour.log = fopen(options.log_path, "w");
        if (options.behaviour.log == nullptr) {
            perror(options.log_path);
            return 2;
        }
    }

    UMockdevTestbed *testbed = umockdev_testbed_new();
    add_other_devices(testbed, options);
    DfuDevice *foreign_dfu = options.foreign_dfu ? add_foreign_dfu_device(testbed) : nullptr;
    add_ondrix_device(testbed, options);
    int status = run_command(options.command);
    if (!report_downloads(options, foreign_dfu) && status == 0)
        status = EXIT_FAILURE;

    ondrix_teardown();
    dfu_device_free(foreign_dfu);
    g_object_unref(testbed);
    if (options.behaviour.log != nullptr)
        fclose(options.behaviour.log);
    return status;
}
