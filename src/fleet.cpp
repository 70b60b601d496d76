#include "fleet.h"

#include "device.h"
#include "output.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int EXIT_ALL_UPDATED = 0;
const int EXIT_NOT_ALL_UPDATED = 1;
// What a shell reports for a command ended by a signal.
const int EXIT_SIGNALLED_BASE = 128;

// A child that writes this much without a line feed has its text passed
// on as a line of its own, so that no child can make us hold unbounded
// output.
const size_t LONGEST_LINE = 64 * 1024;

// What a run for a port says when another run holds its lock.
const char BUSY_LINE_START[] = "fwlaunch: the ondrix device on port ";
const char BUSY_LINE_MIDDLE[] = " is being updated by another run";

enum class RunState { queued, running, ended };

// One stream of a child: the text read from it up to the next line feed.
struct Stream {
    int fd = -1;
    bool is_error = false;
    std::string pending;
};

struct Child {
    std::string port;
    RunState state = RunState::queued;
    pid_t pid = -1;
    Stream out, err;
    std::string phase = "queued";
    std::string last_line;      // the last line it wrote, on either stream
    bool busy = false;          // another run held the port
    std::string busy_holder;    // "process N" when that run said who it is
    bool interrupted = false;   // stopped by our signal before it ended
    int wait_status = 0;
};

// --- The signals: those that stop the run, and the hang-up that does not ----

// SIGINT, SIGTERM and SIGHUP reach the loop through a pipe, so that poll
// wakes.
int signal_pipe[2] = {-1, -1};
volatile sig_atomic_t stopping_signal = 0;
volatile sig_atomic_t stop_signals_received = 0;
volatile sig_atomic_t hung_up = 0;

void wakeTheLoop()
{
    char byte = 0;
    ssize_t ignored = write(signal_pipe[1], &byte, 1);
    (void)ignored;
}

void noteStopSignal(int signal_number)
{
    int saved_errno = errno;
    if (stopping_signal == 0)
        stopping_signal = signal_number;
    stop_signals_received = stop_signals_received + 1;
    wakeTheLoop();
    errno = saved_errno;
}

void noteHangUp(int)
{
    int saved_errno = errno;
    hung_up = 1;
    wakeTheLoop();
    errno = saved_errno;
}

// A reader that goes away (EPIPE) must not end the run: the updates go on
// and the loop stops writing to that stream. A hang-up means the terminal
// is gone, not that the updates should stop.
void catchSignals()
{
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = noteStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = noteHangUp;
    sigaction(SIGHUP, &action, nullptr);
}

void drainSignalPipe()
{
    char bytes[16];
    while (read(signal_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

// --- The screen: prefixed lines, and on a terminal a table below them -------

struct Screen {
    bool live = false;       // a terminal, with room for the table
    size_t port_width = 0;
    int rows_drawn = 0;      // lines of the table now under the cursor
};

Screen screen;

// A table is drawn only on a terminal tall enough to hold it below at
// least a few lines of output: drawn taller than the screen, it could not
// be redrawn in place.
bool terminalCanHoldTable(size_t rows)
{
    const char *term = getenv("TERM");
    if (!isatty(STDOUT_FILENO) || term == nullptr || strcmp(term, "dumb") == 0)
        return false;
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0)
        return true;
    return rows + 3 <= size.ws_row;
}

// A row of the table or of the summary: the port, padded so that what
// follows stands in one column.
std::string row(const std::string &port, const std::string &text)
{
    return port + std::string(screen.port_width - port.size() + 2, ' ') + text + "\n";
}

void eraseTable()
{
    if (screen.rows_drawn == 0)
        return;
    // Up to the table's first row, then clear to the end of the screen.
    emit(Channel::out, "\033[" + std::to_string(screen.rows_drawn) + "A\r\033[J");
    screen.rows_drawn = 0;
}

void drawTable(const std::vector<Child> &children)
{
    if (!screen.live || !isOpen(Channel::out))
        return;
    std::string table;
    for (const Child &child : children)
        table += row(child.port, child.phase);
    emit(Channel::out, table);
    screen.rows_drawn = static_cast<int>(children.size());
}

void redrawTable(const std::vector<Child> &children)
{
    if (!screen.live)
        return;
    eraseTable();
    drawTable(children);
}

// Passes one whole line of a child on, prefixed with its port, on the
// stream it came on: one write, so that it is never mixed with another.
void passLineOn(const Child &child, const Stream &stream, const std::string &line,
                const std::vector<Child> &children)
{
    eraseTable();
    emit(stream.is_error ? Channel::err : Channel::out, "[" + child.port + "]" + (line.empty() ? "" : " " + line) + "\n");
    drawTable(children);
}

// --- What a child's output says ---------------------------------------------

// dfu-util redraws its progress bar with carriage returns; of such a line
// only its last state is worth keeping.
std::string lastState(const std::string &line)
{
    size_t end = line.size();
    while (end > 0) {
        size_t start = line.rfind('\r', end - 1);
        size_t from = start == std::string::npos ? 0 : start + 1;
        if (from < end)
            return line.substr(from, end - from);
        if (start == std::string::npos)
            break;
        end = start;
    }
    return "";
}

// "Download\t[=====      ]  20%        1024 bytes": the percentage, or -1.
// Read with from_chars, not sscanf: the C library of Debian 13 turns
// sscanf into a function that Debian 12's does not have, and the package
// built on 13 would then not install on 12.
int downloadPercent(const std::string &text)
{
    if (text.compare(0, strlen("Download\t["), "Download\t[") != 0)
        return -1;
    size_t start = text.find(']');
    if (start == std::string::npos)
        return -1;
    start = text.find_first_not_of(" \t", start + 1);
    if (start == std::string::npos)
        return -1;
    int percent = -1;
    const char *end = text.data() + text.size();
    if (std::from_chars(text.data() + start, end, percent).ec != std::errc())
        return -1;
    return percent;
}

void notePhase(Child &child, const std::string &text)
{
    int percent = downloadPercent(text);
    if (percent >= 0)
        child.phase = "downloading " + std::to_string(percent) + " %";
    else if (text == "start check usb mode")
        child.phase = "switching";
    else if (text == "send switch_mode ok")
        child.phase = "waiting for the bootloader";
    else if (text == "About to run dfu-util for downloading...")
        child.phase = "downloading 0 %";
}

void noteBusy(Child &child, const std::string &text)
{
    if (text.compare(0, strlen(BUSY_LINE_START), BUSY_LINE_START) != 0 ||
        text.find(BUSY_LINE_MIDDLE) == std::string::npos)
        return;
    child.busy = true;
    size_t open = text.rfind("(process ");
    size_t close = text.rfind(')');
    if (open != std::string::npos && close != std::string::npos && close > open)
        child.busy_holder = text.substr(open + 1, close - open - 1);
}

void takeLine(Child &child, Stream &stream, const std::string &line, const std::vector<Child> &children)
{
    std::string text = lastState(line);
    notePhase(child, text);
    if (stream.is_error)
        noteBusy(child, text);
    if (!text.empty())
        child.last_line = text;
    passLineOn(child, stream, text, children);
}

// The progress bar is not ended by a line feed until the download is:
// on a terminal, the table follows it as it is redrawn.
void followProgress(Child &child, const Stream &stream, const std::vector<Child> &children)
{
    if (!screen.live || stream.pending.empty())
        return;
    std::string before = child.phase;
    notePhase(child, lastState(stream.pending));
    if (child.phase != before)
        redrawTable(children);
}

// Reads what a child has written on one stream and passes on every line
// that is whole; at the end of the stream, the rest as a line.
void readStream(Child &child, Stream &stream, std::vector<Child> &children)
{
    char buffer[4096];
    ssize_t count = read(stream.fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        if (!stream.pending.empty())
            takeLine(child, stream, stream.pending, children);
        stream.pending.clear();
        close(stream.fd);
        stream.fd = -1;
        return;
    }
    stream.pending.append(buffer, static_cast<size_t>(count));
    size_t feed;
    while ((feed = stream.pending.find('\n')) != std::string::npos) {
        std::string line = stream.pending.substr(0, feed);
        stream.pending.erase(0, feed + 1);
        takeLine(child, stream, line, children);
    }
    if (stream.pending.size() >= LONGEST_LINE) {
        std::string line;
        line.swap(stream.pending);
        takeLine(child, stream, line, children);
    }
    followProgress(child, stream, children);
}

// --- The children ------------------------------------------------------------

[[noreturn]] void runChild(const char *img, const std::string &port, int out_fd, int err_fd,
                           UpdateOnePort update, const sigset_t &signal_mask)
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    // The update goes on when the terminal hangs up, and dfu-util, which
    // inherits what is ignored, with it. Its output goes to us, not to
    // anything that could vanish.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_SETMASK, &signal_mask, nullptr);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    int status = update(img, port);
    hid_exit();
    exit(status);
}

bool startChild(Child &child, const char *img, UpdateOnePort update)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    // A signal that came between the fork and the child's own handlers
    // would be taken for the parent's.
    sigset_t stop_signals, before;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, &before);
    pid_t pid = fork();
    if (pid == 0)
        runChild(img, child.port, out[1], err[1], update, before);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    child.pid = pid;
    child.out = Stream{out[0], false, ""};
    child.err = Stream{err[0], true, ""};
    child.state = RunState::running;
    child.phase = "starting";
    return true;
}

std::string failureText(const Child &child)
{
    std::string how = WIFSIGNALED(child.wait_status)
                          ? "killed by signal " + std::to_string(WTERMSIG(child.wait_status))
                          : "status " + std::to_string(WEXITSTATUS(child.wait_status));
    return "failed (" + how + ")" + (child.last_line.empty() ? "" : ": " + child.last_line);
}

bool wasUpdated(const Child &child)
{
    return child.state == RunState::ended && WIFEXITED(child.wait_status) && WEXITSTATUS(child.wait_status) == 0;
}

void endChild(Child &child)
{
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.wait_status = status;
    child.state = RunState::ended;
    // Ctrl-C reaches the children from the terminal, maybe before we had
    // a chance to stop them ourselves.
    if (stopping_signal != 0 && !wasUpdated(child))
        child.interrupted = true;
    if (wasUpdated(child))
        child.phase = "updated";
    else if (child.busy)
        child.phase = "busy";
    else if (child.interrupted)
        child.phase = "interrupted";
    else
        child.phase = "failed";
}

// The first stop signal asks the children to end; a second one insists.
void stopChildren(std::vector<Child> &children, int signal_to_send)
{
    for (Child &child : children)
        if (child.state == RunState::running) {
            child.interrupted = true;
            kill(child.pid, signal_to_send);
        }
}

// No queued update starts once the run is stopped or its terminal is gone.
void startNoMore(std::vector<Child> &children)
{
    for (Child &child : children)
        if (child.state == RunState::queued)
            child.phase = "not started";
}

// The terminal is gone: the running updates go on to their end, but
// nothing is drawn or written to it any more.
void goOnWithoutTerminal(std::vector<Child> &children)
{
    startNoMore(children);
    giveUpTerminalChannels();
    screen.live = false;
    screen.rows_drawn = 0;
}

size_t countRunning(const std::vector<Child> &children)
{
    return static_cast<size_t>(std::count_if(children.begin(), children.end(), [](const Child &child) {
        return child.state == RunState::running;
    }));
}

void startQueued(std::vector<Child> &children, size_t jobs, const char *img, UpdateOnePort update)
{
    for (Child &child : children) {
        if (countRunning(children) >= jobs)
            break;
        if (child.state != RunState::queued)
            continue;
        if (!startChild(child, img, update)) {
            child.state = RunState::ended;
            child.wait_status = EXIT_NOT_ALL_UPDATED << 8;
            child.last_line = std::string("fwlaunch: the update cannot start: ") + strerror(errno);
            child.phase = "failed";
        }
    }
    redrawTable(children);
}

// Waits for output, a child's end or a stop signal, and deals with it.
void superviseOnce(std::vector<Child> &children)
{
    std::vector<pollfd> fds;
    std::vector<std::pair<Child *, Stream *>> owners;
    fds.push_back({signal_pipe[0], POLLIN, 0});
    owners.emplace_back(nullptr, nullptr);
    for (Child &child : children)
        for (Stream *stream : {&child.out, &child.err})
            if (stream->fd >= 0) {
                fds.push_back({stream->fd, POLLIN, 0});
                owners.emplace_back(&child, stream);
            }
    if (poll(fds.data(), fds.size(), -1) < 0)
        return;
    if (fds[0].revents != 0)
        drainSignalPipe();
    for (size_t i = 1; i < fds.size(); i++)
        if (fds[i].revents != 0)
            readStream(*owners[i].first, *owners[i].second, children);
    for (Child &child : children)
        if (child.state == RunState::running && child.out.fd < 0 && child.err.fd < 0) {
            endChild(child);
            redrawTable(children);
        }
}

bool isListedInItsBootloader(const std::vector<OndrixDevice> &devices, const std::string &port)
{
    return std::any_of(devices.begin(), devices.end(), [&](const OndrixDevice &device) {
        return device.port == port && device.in_bootloader;
    });
}

bool wasCutShort(const Child &child)
{
    return child.interrupted || child.state == RunState::queued;
}

// One line per port, then how many were updated, on standard output or,
// when that is gone, on standard error. A device stopped on its way, or
// never started, is looked for once more: one left in its bootloader is
// updated by the next run, --all or --port, straight from there.
void printSummary(const std::vector<Child> &children)
{
    std::vector<OndrixDevice> devices;
    if (std::any_of(children.begin(), children.end(), wasCutShort))
        devices = listOndrixDevices();
    size_t updated = 0;
    std::string summary;
    for (const Child &child : children) {
        std::string outcome;
        if (wasUpdated(child)) {
            outcome = "updated";
            updated++;
        } else if (child.busy) {
            outcome = "busy: another run is updating it" +
                      (child.busy_holder.empty() ? "" : " (" + child.busy_holder + ")");
        } else if (wasCutShort(child)) {
            outcome = child.interrupted ? "interrupted" : "not started";
            if (isListedInItsBootloader(devices, child.port))
                outcome += ", left in its bootloader";
        } else {
            outcome = failureText(child);
        }
        summary += row(child.port, outcome);
    }
    summary += std::to_string(updated) + " of " + std::to_string(children.size()) + " ondrix devices updated\n";
    emit(Channel::out, summary);
    if (!isOpen(Channel::out))
        emit(Channel::err, summary);
}

void printStart(const std::vector<std::string> &ports, size_t jobs)
{
    std::string start = "updating " + std::to_string(ports.size()) + " ondrix devices";
    if (jobs < ports.size())
        start += ", " + std::to_string(jobs) + " at a time";
    for (size_t i = 0; i < ports.size(); i++)
        start += (i == 0 ? ": " : ", ") + ports[i];
    emit(Channel::out, start + "\n");
}

} // namespace

int updateFleet(const char *img, const std::vector<std::string> &ports, size_t jobs, UpdateOnePort update)
{
    std::vector<Child> children(ports.size());
    for (size_t i = 0; i < ports.size(); i++) {
        children[i].port = ports[i];
        screen.port_width = std::max(screen.port_width, ports[i].size());
    }
    catchSignals();
    printStart(ports, jobs);
    screen.live = terminalCanHoldTable(children.size());
    drawTable(children);

    sig_atomic_t stops_handled = 0;
    bool hang_up_handled = false;
    while (true) {
        if (stop_signals_received != stops_handled) {
            stopChildren(children, stops_handled == 0 ? SIGTERM : SIGKILL);
            startNoMore(children);
            stops_handled = stop_signals_received;
            redrawTable(children);
        }
        if (hung_up != 0 && !hang_up_handled) {
            goOnWithoutTerminal(children);
            hang_up_handled = true;
        }
        if (stopping_signal == 0 && hung_up == 0)
            startQueued(children, jobs, img, update);
        if (countRunning(children) == 0)
            break;
        superviseOnce(children);
    }

    redrawTable(children);
    screen.rows_drawn = 0; // the last state of the table stays on the screen
    printSummary(children);
    if (stopping_signal != 0)
        return EXIT_SIGNALLED_BASE + stopping_signal;
    bool all_updated = std::all_of(children.begin(), children.end(), wasUpdated);
    return all_updated ? EXIT_ALL_UPDATED : EXIT_NOT_ALL_UPDATED;
}
