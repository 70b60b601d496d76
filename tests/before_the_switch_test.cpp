// What the launcher checks before it switches a device into its
// bootloader: the image, dfu-util, and that no other run is updating the
// same device. A run that fails a check touches no device.

#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>

namespace {

const std::string DFU_UTIL_MISSING = "fwlaunch: dfu-util not found on PATH\n"
                                     "fwlaunch: it does the download; install it (on Debian: apt install dfu-util)\n";

// 3000 bytes of an image that is not all zeros.
std::string payload()
{
    std::string bytes(3000, '\0');
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

class BeforeTheSwitch : public LauncherTest {
protected:
    // The image NAME with a DFU suffix for VENDOR:PRODUCT, as dfu-suffix
    // writes it.
    void makeImageWithSuffix(const std::string &name, const std::string &vendor, const std::string &product)
    {
        makeFile(name, payload());
        std::string command = "dfu-suffix -v " + vendor + " -p " + product + " -a '" + path(name) + "' > /dev/null";
        ASSERT_EQ(system(command.c_str()), 0) << command;
    }

    // The image NAME for the bootloader, whose suffix says it is LENGTH
    // bytes long, with its CRC made right again: only the length is wrong.
    void makeImageWithSuffixLength(const std::string &name, size_t payload_size, unsigned char length)
    {
        makeImageWithSuffix(name, "040e", "f003");
        std::string image = readFile(path(name));
        image.erase(0, image.size() - 16 - payload_size);
        image[image.size() - 5] = static_cast<char>(length);
        uint32_t crc = 0xFFFFFFFFu; // CRC-32 without its final inversion
        for (size_t i = 0; i < image.size() - 4; i++) {
            crc ^= static_cast<unsigned char>(image[i]);
            for (int bit = 0; bit < 8; bit++)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        for (size_t i = 0; i < 4; i++)
            image[image.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
        makeFile(name, image);
    }

    // Changes one byte of the image, as a damaged download would.
    void damage(const std::string &name)
    {
        std::string image = readFile(path(name));
        image[100] = static_cast<char>(image[100] ^ 0x40);
        makeFile(name, image);
    }

    // Nothing reached any device: no report, no hand-off, no download.
    void expectNoDeviceTouched(const std::string &mode)
    {
        EXPECT_TRUE(reportsReceived().empty()) << mode;
        EXPECT_TRUE(dfuUtilRecord().empty()) << mode;
        EXPECT_FALSE(std::regex_search(simulatorLog(), std::regex("download .* [1-9][0-9]* bytes")))
            << mode << "\n" << simulatorLog();
    }

    // Lets the user "nobody" read the scratch folder, and write into its
    // folder "shared". $AS_NOBODY in a script runs a command as that user.
    void shareWithNobody()
    {
        chmod(dir.c_str(), 0755);
        makeFolder("shared");
        chmod(path("shared").c_str(), 0777);
        extra_env.push_back("AS_NOBODY=setpriv --reuid=65534 --regid=65534 --clear-groups");
    }
};

TEST_F(BeforeTheSwitch, ImagesDfuUtilCannotDownloadAreRefused)
{
    makeImageWithSuffix("other-device.bin", "0483", "df11");
    makeImageWithSuffix("normal-mode.bin", "040e", "f408");
    makeImageWithSuffix("damaged.bin", "040e", "f003");
    damage("damaged.bin");
    makeImageWithSuffixLength("short-suffix.bin", 3000, 10);
    makeImageWithSuffixLength("long-suffix.bin", 100, 200);
    makeFile("empty.bin", "");
    makeFolder("firmware");
    ASSERT_EQ(mkfifo(path("pipe.bin").c_str(), 0644), 0);
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"other-device.bin", "its DFU suffix is for 0483:df11, not the ondrix bootloader 040e:f003"},
        {"normal-mode.bin", "its DFU suffix is for 040e:f408, not the ondrix bootloader 040e:f003"},
        {"damaged.bin", "its DFU suffix CRC does not match its contents (damaged?)"},
        // dfu-util itself refuses them, once the device is in its bootloader.
        {"short-suffix.bin", "its DFU suffix has an impossible length (10)"},
        {"long-suffix.bin", "its DFU suffix has an impossible length (200)"},
        {"empty.bin", "it is empty"},
        {"firmware", "Is a directory"},
        {"pipe.bin", "it is not a regular file"},
    };
    for (const std::string mode : {"normal", "bootloader"})
        for (const auto &[image, reason] : refusals) {
            Outcome outcome = run({"--mode", mode}, {image});
            EXPECT_EQ(outcome.out, "") << image;
            EXPECT_EQ(outcome.err, "fwlaunch: cannot use " + image + ": " + reason + "\n");
            EXPECT_EQ(outcome.status, 2) << image;
            expectNoDeviceTouched(mode + " " + image);
        }
}

TEST_F(BeforeTheSwitch, AnImageTheUserMayNotReadIsRefused)
{
    makeFile("secret.bin");
    chmod(path("secret.bin").c_str(), 0);
    shareWithNobody();
    Outcome outcome = runShell({"--mode", "normal"}, "exec $AS_NOBODY \"$FWLAUNCH\" secret.bin");
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "fwlaunch: cannot use secret.bin: Permission denied\n");
    EXPECT_EQ(outcome.status, 2);
    expectNoDeviceTouched("normal");
}

TEST_F(BeforeTheSwitch, WithoutDfuUtilNothingIsSwitched)
{
    // No dfu-util on PATH at all, and one that may not be run.
    makeFolder("bin");
    makeFile("bin/dfu-util", "#!/bin/sh\n");
    for (const std::string &folders : {std::string("/nonexistent"), path("bin")}) {
        search_path = folders;
        for (const std::string mode : {"normal", "bootloader"}) {
            Outcome outcome = run({"--mode", mode}, {"img.bin"});
            EXPECT_EQ(outcome.out, "") << folders;
            EXPECT_EQ(outcome.err, DFU_UTIL_MISSING) << folders;
            EXPECT_EQ(outcome.status, 1) << folders;
            expectNoDeviceTouched(mode);
        }
    }
}

TEST_F(BeforeTheSwitch, AnEmptyPathEntryIsTheWorkingDirectory)
{
    // As for execvp, an empty entry (first, between two, last) stands for
    // the working directory, which holds dfu-util; the other folder holds
    // only what the stand-in runs.
    std::filesystem::copy_file(DFU_UTIL_STAND_IN_DIR "/dfu-util", path("dfu-util"));
    makeFolder("tools");
    std::filesystem::create_symlink("/bin/date", path("tools/date"));
    const std::string tools = path("tools");
    for (const std::string &folders : {":" + tools, tools + "::/nonexistent", tools + ":"}) {
        search_path = folders;
        Outcome outcome = run({"--mode", "bootloader"}, {"img.bin"});
        EXPECT_EQ(outcome.err, "") << folders;
        EXPECT_EQ(outcome.status, 0) << folders;
        EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-1")) << folders;
        std::filesystem::remove(path("dfu-util.record"));
    }
}

TEST_F(BeforeTheSwitch, WithoutPathDfuUtilIsLookedForWhereExecvpLooks)
{
    // The system's default search path holds the real dfu-util.
    Outcome outcome =
        runShell({"--mode", "bootloader", "--verify", "img.bin"}, "exec env -u PATH \"$FWLAUNCH\" img.bin");
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_NE(outcome.err.find("received img.bin intact"), std::string::npos) << outcome.err;
}

TEST_F(BeforeTheSwitch, ADfuUtilThatCannotStartFailsAtTheHandOff)
{
    // It is there, but its interpreter is not: execvp itself fails.
    if (runsUnderATool())
        GTEST_SKIP() << "valgrind cannot go on after a failed execve";
    makeFolder("bin");
    makeFile("bin/dfu-util", "#!/nonexistent/sh\n");
    chmod(path("bin/dfu-util").c_str(), 0755);
    search_path = path("bin");
    Outcome outcome = run({"--mode", "bootloader"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bootloaderBlock("/dev/hidraw0") +
                               "the divce is already in usb bootloader mode\n"
                               "Try to start download img file : img.bin.\n"
                               "About to run dfu-util for downloading...\n");
    EXPECT_EQ(outcome.err, "execvp: No such file or directory\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(BeforeTheSwitch, ImagesForTheBootloaderOrAnyDeviceOrWithoutSuffixAreDownloaded)
{
    // dfu-util downloads what comes before the suffix.
    makeFile("payload.bin", payload());
    makeImageWithSuffix("bootloader.bin", "040e", "f003");
    makeImageWithSuffix("any.bin", "ffff", "ffff");
    makeImageWithSuffix("any-product.bin", "040e", "ffff");
    search_path = "/usr/bin:/bin";
    for (const std::string image : {"bootloader.bin", "any.bin", "any-product.bin", "payload.bin"}) {
        Outcome outcome = run({"--mode", "bootloader", "--verify", "payload.bin"}, {image});
        EXPECT_EQ(outcome.status, 0) << image << "\n" << outcome.out << outcome.err;
        EXPECT_NE(outcome.err.find("received payload.bin intact (3000 bytes)"), std::string::npos)
            << image << "\n" << outcome.err;
    }
}

class OneRunPerDevice : public BeforeTheSwitch {
protected:
    // The line of a run refused because another run updates the device.
    std::regex busyLine(const std::string &port, const std::string &pid = "[0-9]+")
    {
        return std::regex("fwlaunch: the ondrix device on port " + port +
                          " is being updated by another run \\(process " + pid + "\\)\n");
    }
};

// Starts a run of `fwlaunch ARGS` in the background that holds its port in
// a dfu-util that takes 30 s, waits until it is there, and puts its
// process ID in $a.
std::string startALongDownload(const std::string &args)
{
    return "DFU_UTIL_SECONDS=30 \"$FWLAUNCH\" " + args + " > a.out 2>&1 & a=$!\n"
           "while [ ! -s \"$DFU_UTIL_RECORD\" ]; do sleep 0.05; done\n";
}

TEST_F(OneRunPerDevice, TwoRunsOnTheSameDeviceAtOnceUpdateItOnce)
{
    makeFile("firmware.bin", payload());
    search_path = "/usr/bin:/bin";
    // Each block takes half a second to write, so that the first run
    // still holds the device when the second, however late a busy machine
    // starts it, comes to the lock.
    Outcome outcome = runShell({"--mode", "normal", "--flash-time", "500", "--verify", "firmware.bin"},
                               "\"$FWLAUNCH\" --port 1-1 firmware.bin > a.out 2> a.err & a=$!\n"
                               "\"$FWLAUNCH\" --port 1-1 firmware.bin > b.out 2> b.err; b=$?\n"
                               "wait $a; echo \"$? $b\"");
    EXPECT_TRUE(outcome.out == "0 1\n" || outcome.out == "1 0\n") << outcome.out;
    const std::string loser = outcome.out == "0 1\n" ? "b" : "a";
    EXPECT_TRUE(std::regex_match(readFile(path(loser + ".err")), busyLine("1-1"))) << readFile(path(loser + ".err"));
    EXPECT_EQ(readFile(path(loser + ".out")), "");
    EXPECT_NE(outcome.err.find("received firmware.bin intact"), std::string::npos) << outcome.err;
    EXPECT_EQ(reportsReceived(), (Words{commandReport(0xde, 0x12), commandReport(0x12, 0x34)}));
}

TEST_F(OneRunPerDevice, TheLockLastsThroughTheDownloadAndEndsWithIt)
{
    // The second run chooses the device by default; the third goes ahead
    // once the first is killed.
    Outcome outcome = runShell({"--mode", "bootloader"}, startALongDownload("img.bin") +
                                                             "\"$FWLAUNCH\" img.bin > b.out 2> b.err; b=$?\n"
                                                             "kill -KILL $a; wait $a\n"
                                                             "\"$FWLAUNCH\" img.bin > c.out 2> c.err; c=$?\n"
                                                             "echo \"$a $b $c\"");
    std::smatch statuses;
    ASSERT_TRUE(std::regex_match(outcome.out, statuses, std::regex("([0-9]+) ([0-9]+) ([0-9]+)\n"))) << outcome.out;
    EXPECT_EQ(statuses[2], "1");
    EXPECT_TRUE(std::regex_match(readFile(path("b.err")), busyLine("1-1", statuses[1])))
        << readFile(path("b.err"));
    EXPECT_EQ(readFile(path("b.out")), "");
    EXPECT_EQ(statuses[3], "0") << readFile(path("c.out")) << readFile(path("c.err"));
    EXPECT_EQ(readFile(path("c.err")), "");
}

TEST_F(OneRunPerDevice, RunsOnOtherPortsGoAhead)
{
    Outcome outcome = runShell({"--mode", "bootloader", "--also", "bootloader"},
                               startALongDownload("--port 1-1 img.bin") +
                                   "\"$FWLAUNCH\" --port 1-10 img.bin > b.out 2> b.err; b=$?\n"
                                   "kill -KILL $a; echo $b");
    EXPECT_EQ(outcome.out, "0\n") << readFile(path("b.err"));
    EXPECT_EQ(readFile(path("b.err")), "");
}

// Users for the runs below: setpriv lines ("" for root).
const std::string ROOT = "";
const std::string NOBODY = "setpriv --reuid=65534 --regid=65534 --clear-groups";
const std::string ANOTHER_USER = "setpriv --reuid=65533 --regid=65533 --clear-groups";

// Whatever the machine's fs.protected_regular, both runs get the rule of
// its setting 2, as on Debian: in the sticky, world-writable /run/lock,
// a user's open() with O_CREAT of another user's lock file fails.
std::string protectedRegular()
{
    std::string setting = readFile("/proc/sys/fs/protected_regular");
    if (setting.empty() || setting[0] < '2')
        printf("note: fs.protected_regular is %s here; the test applies its rule 2 itself\n",
               setting.empty() ? "unknown" : setting.substr(0, 1).c_str());
    // First: the testbed's library takes its open() straight from libc.
    return "LD_PRELOAD=\"" STICKY_CREATE_RULE " $LD_PRELOAD\"";
}

TEST_F(OneRunPerDevice, ALockHeldByAnotherUsersRunRefusesToo)
{
    // The lock file is made by the first run, and it must open for the
    // second whoever each is: root after a user, a user after root (whose
    // file is root's, as is /run/lock), and a user after another user
    // (whose file belongs neither to the second nor to the folder's owner).
    std::filesystem::copy_file(DFU_UTIL_STAND_IN_DIR "/dfu-util", path("dfu-util"));
    shareWithNobody();
    const std::string rule = protectedRegular();
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {NOBODY, ROOT}, {ROOT, NOBODY}, {NOBODY, ANOTHER_USER}};
    for (const auto &[first, second] : pairs) {
        Outcome outcome = runShell(
            {"--mode", "bootloader"},
            first + " env DFU_UTIL_RECORD=shared/record PATH=.:$PATH DFU_UTIL_SECONDS=30 " + rule +
                " \"$FWLAUNCH\" img.bin > shared/a.out 2>&1 & a=$!\n"
                "while [ ! -s shared/record ]; do sleep 0.05; done\n" +
                second + " env DFU_UTIL_RECORD=shared/b.record PATH=.:$PATH " + rule +
                " \"$FWLAUNCH\" img.bin > shared/b.out 2> shared/b.err; b=$?\n"
                "kill -KILL $a; echo $b");
        const std::string users = "first '" + first + "', second '" + second + "'";
        EXPECT_EQ(outcome.out, "1\n") << users << "\n" << readFile(path("shared/b.out"));
        EXPECT_TRUE(std::regex_match(readFile(path("shared/b.err")), busyLine("1-1")))
            << users << "\n" << readFile(path("shared/b.err"));
        std::filesystem::remove(path("shared/record"));
    }
}

} // namespace
