#include "log_view.h"

#include "output.h"
#include "time_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The names tried for the file of one update while others hold them.
const int MOST_CLASHES = 100;
// A serial number can be 126 characters of UTF-16: long enough, written
// out in bytes, to make a file name too long. Each part of a name is cut
// to this.
const size_t LONGEST_PART_OF_NAME = 64;

std::string withSlash(const std::string &dir)
{
    return !dir.empty() && dir.back() == '/' ? dir : dir + "/";
}

// A serial number is whatever the device says: in a file name it keeps
// only characters that cannot make a path of it.
std::string nameSafe(const std::string &text)
{
    std::string safe = text.substr(0, LONGEST_PART_OF_NAME);
    for (char &c : safe)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            c = '_';
    return safe;
}

// Tried, not asked: only making a file meets every reason it can fail (a
// read-only mount, root squashed on NFS, no inode left, a security module).
const char *cannotCreateIn(const char *dir)
{
    std::string path = withSlash(dir) + ".fwlaunch-check-XXXXXX";
    int fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd < 0)
        return strerror(errno);
    close(fd);
    unlink(path.c_str());
    return nullptr;
}

bool writeWhole(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0)
            errno = EIO;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

void sayCannotWrite(const std::string &path)
{
    emit(Channel::err, "fwlaunch: cannot write " + path + ": " + strerror(errno) + "\n");
}

std::string failure(const FleetResult &result)
{
    if (result.signal != 0)
        return "failed (killed by signal " + std::to_string(result.signal) + ")";
    if (result.exit_status >= 0)
        return "failed (status " + std::to_string(result.exit_status) + ")";
    return "failed";
}

std::string outcomeText(const FleetResult &result)
{
    const std::string &outcome = result.outcome;
    std::string after = " after " + secondsText(result.seconds, 1) + " s";
    if (outcome == "updated")
        return "updated in " + secondsText(result.seconds, 1) + " s";
    if (outcome == "failed")
        return failure(result) + after + (result.last_error_line.empty() ? "" : ": " + result.last_error_line);
    if (outcome == "busy")
        return "busy: another run is updating it" +
               (result.busy_holder.empty() ? "" : " (" + result.busy_holder + ")");
    std::string text = outcome == "not started"  ? outcome
                       : outcome == "timed out" ? "timed out while " + result.phase + after
                                                : outcome + after;
    return text + (result.left_in_bootloader ? ", left in its bootloader" : "");
}

} // namespace

int checkLogDir(const char *dir)
{
    struct stat info = {};
    const char *reason = nullptr;
    if (stat(dir, &info) != 0)
        reason = strerror(errno);
    else if (!S_ISDIR(info.st_mode))
        reason = "not a directory";
    else
        reason = cannotCreateIn(dir);
    if (reason == nullptr)
        return 1;
    emit(Channel::err, std::string("fwlaunch: cannot write logs in ") + dir + ": " + reason + "\n");
    return -1;
}

std::string resultText(const FleetDevice &device, const FleetResult &result)
{
    return device.port + " " + (device.serial.empty() ? "-" : device.serial) + ": " + outcomeText(result);
}

LogView::LogView(const std::string &dir) : dir_(withSlash(dir)) {}

LogView::~LogView()
{
    for (auto &port_and_file : files_)
        if (port_and_file.second.fd >= 0)
            close(port_and_file.second.fd);
}

// A device that is only queued has not started its update.
void LogView::phase(const FleetDevice &device, const std::string &phase, double time)
{
    if (phase != "queued")
        fileFor(device, time);
}

void LogView::line(const FleetDevice &device, FleetStream, const std::string &text, double time)
{
    writeLine(fileFor(device, time), text);
}

void LogView::result(const FleetDevice &device, const FleetResult &result)
{
    LogFile &file = fileFor(device, result.time);
    writeLine(file, resultText(device, result));
    if (file.fd >= 0)
        close(file.fd);
    files_.erase(device.port);
}

std::string LogView::fileName(const FleetDevice &device, double time, int clash) const
{
    double start = device.started_at > 0 ? device.started_at : time;
    std::string serial = device.serial.empty() ? "-" : nameSafe(device.serial);
    std::string suffix = clash == 0 ? "" : "." + std::to_string(clash + 1);
    return dir_ + utcTime(start, true) + "_" + nameSafe(device.port) + "_" + serial + suffix + ".log";
}

// The file of the update under way on the device's port, created at its
// first event.
LogView::LogFile &LogView::fileFor(const FleetDevice &device, double time)
{
    auto found = files_.find(device.port);
    if (found != files_.end())
        return found->second;
    LogFile &file = files_[device.port];
    for (int clash = 0; clash < MOST_CLASHES; clash++) {
        file.path = fileName(device, time, clash);
        file.fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (file.fd >= 0 || errno != EEXIST)
            break;
    }
    if (file.fd < 0)
        sayCannotWrite(file.path);
    return file;
}

// Each line in one write, straight to the file: a station that dies has
// lost none that was written.
void LogView::writeLine(LogFile &file, const std::string &text)
{
    if (file.fd < 0)
        return;
    if (!writeWhole(file.fd, text + "\n")) {
        sayCannotWrite(file.path);
        close(file.fd);
        file.fd = -1;
    }
}
