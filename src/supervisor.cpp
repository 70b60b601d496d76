#include "supervisor.h"

#include "device.h"
#include "device_memory.h"
#include "output.h"
#include "phase_channel.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
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

// An update that has timed out gets this long to end on SIGTERM before it
// is killed.
const double KILL_GRACE_SECONDS = 5;

double clockSeconds(clockid_t clock)
{
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Events carry the real time; durations and deadlines are measured on
// the monotonic clock, which no clock change moves.
double realNow()
{
    return clockSeconds(CLOCK_REALTIME);
}

double monotonicNow()
{
    return clockSeconds(CLOCK_MONOTONIC);
}

// --- The signals: those that stop the run, and the hang-up that does not ----

// SIGINT, SIGTERM and SIGHUP reach the loop through a pipe, so that poll
// wakes. Signal handlers can only reach what is at file scope.
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
// and the output stops writing to that stream. A hang-up means the
// terminal is gone, not that the updates should stop.
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

// --- What a child writes -------------------------------------------------------

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
// dfu-util's progress is the one text of a child that is read: everything
// else a child reports of itself on its phase channel. Read with
// from_chars, not sscanf: the C library of Debian 13 turns sscanf into a
// function that Debian 12's does not have, and the package built on 13
// would then not install on 12.
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

enum class RunState { queued, running, ended };

// One stream of a child: its output, its error output, or its phase
// channel; and what was read of it up to the next line feed.
struct Stream {
    int fd = -1;
    FleetStream which = FleetStream::out;
    bool phases = false;
    std::string pending;
};

struct Update {
    DeviceSighting sighting;
    FleetDevice device;
    RunState state = RunState::queued;
    pid_t pid = -1;
    Stream out, err, phases;
    std::string phase = "queued";
    int percent = -1;
    std::string last_line;     // the last line it wrote, on either stream
    bool busy = false;         // another run held the port
    std::string busy_holder;   // "process N" when that run said who it is
    bool interrupted = false;  // stopped by our signal before it ended
    bool timed_out = false;
    std::string phase_when_timed_out;
    double started = 0;        // monotonic
    double kill_at = 0;        // monotonic; 0: no SIGKILL due
    int wait_status = 0;
};

bool wasUpdated(const Update &update)
{
    return update.state == RunState::ended && WIFEXITED(update.wait_status) &&
           WEXITSTATUS(update.wait_status) == 0;
}

void closeStream(Stream &stream)
{
    if (stream.fd >= 0)
        close(stream.fd);
    stream.fd = -1;
}

[[noreturn]] void runChild(const char *img, const std::string &port, int out_fd, int err_fd, int phase_fd,
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
    int status = update(img, port, phase_fd);
    hid_exit();
    exit(status);
}

class Supervisor {
public:
    Supervisor(const SupervisorOptions &options, const std::vector<FleetView *> &views, UpdateOnePort update)
        : options_(options), views_(views), update_(update)
    {
    }

    int run()
    {
        catchSignals();
        if (options_.watch)
            source_ = watchForArrivals(); // before the listing: no arrival in between is missed
        begin();
        while (!finished()) {
            handleSignals();
            startQueued();
            noteWaiting();
            if (finished())
                break;
            waitForNews();
            takeArrivals();
            enforceTimeouts();
        }
        return end();
    }

private:
    template <typename Call>
    void tell(Call call)
    {
        for (FleetView *view : views_)
            call(*view);
    }

    bool stopping() const { return stopping_signal != 0 || hung_up != 0; }

    bool accepting() const
    {
        return !stopping() && (options_.count == 0 || updates_.size() < options_.count);
    }

    size_t countIn(RunState state) const
    {
        return static_cast<size_t>(std::count_if(updates_.begin(), updates_.end(),
                                                 [&](const Update &update) { return update.state == state; }));
    }

    bool finished() const
    {
        if (countIn(RunState::running) > 0 || (countIn(RunState::queued) > 0 && !stopping()))
            return false;
        return !options_.watch || !accepting();
    }

    // --- Taking devices up ---------------------------------------------------

    void begin()
    {
        FleetStart start;
        start.time = realNow();
        start.watch = options_.watch;
        start.image = options_.image;
        start.jobs = options_.jobs;
        start.polling = source_ != nullptr && source_->polls();
        std::vector<DeviceSighting> chosen;
        for (const DeviceSighting &device : attachedOndrixDevices()) {
            if (!options_.ports.match(device.port))
                start.left_alone++;
            else if (options_.count == 0 || chosen.size() < options_.count)
                chosen.push_back(device);
        }
        for (const DeviceSighting &device : chosen)
            start.ports.push_back(device.port);
        if (start.polling)
            emit(Channel::err, "fwlaunch: udev does not run here: looking for new ondrix devices once a second\n");
        tell([&](FleetView &view) { view.started(start); });
        for (const DeviceSighting &device : chosen)
            takeUp(device);
    }

    void takeUp(const DeviceSighting &sighting)
    {
        Update &update = updates_.emplace_back();
        update.sighting = sighting;
        update.device.port = sighting.port;
        update.device.serial = sighting.serial;
        update.device.in_bootloader = sighting.in_bootloader;
        update.device.taken_up_at = realNow();
        tell([&](FleetView &view) { view.takenUp(update.device); });
    }

    bool isUnderWay(const std::string &port) const
    {
        return std::any_of(updates_.begin(), updates_.end(), [&](const Update &update) {
            return update.device.port == port && update.state != RunState::ended;
        });
    }

    // Arrivals on a port whose update is under way belong to that update:
    // the device switching into its bootloader, or a second HID interface.
    void takeArrivals()
    {
        if (source_ == nullptr)
            return;
        for (const DeviceSighting &sighting : source_->take()) {
            double now = realNow();
            if (!sighting.arrived) {
                memory_.left(sighting.port, now);
                continue;
            }
            if (!accepting() || !options_.ports.match(sighting.port) || isUnderWay(sighting.port))
                continue;
            Verdict verdict = memory_.arrived(sighting, now);
            if (verdict == Verdict::take_up) {
                takeUp(sighting);
            } else if (verdict == Verdict::already_updated) {
                FleetDevice device{sighting.port, sighting.serial, sighting.in_bootloader, now, 0};
                tell([&](FleetView &view) { view.alreadyUpdated(device, now); });
            }
        }
    }

    void noteWaiting()
    {
        bool waiting = options_.watch && accepting() && countIn(RunState::running) == 0 &&
                       countIn(RunState::queued) == 0;
        if (waiting == waiting_)
            return;
        waiting_ = waiting;
        tell([&](FleetView &view) { view.waiting(waiting, realNow()); });
    }

    // --- Starting and stopping updates ----------------------------------------

    void setPhase(Update &update, const std::string &phase)
    {
        update.phase = phase;
        tell([&](FleetView &view) { view.phase(update.device, phase, realNow()); });
    }

    void startQueued()
    {
        if (stopping())
            return;
        for (Update &update : updates_) {
            if (options_.jobs != 0 && countIn(RunState::running) >= options_.jobs)
                break;
            if (update.state == RunState::queued && !startChild(update))
                failToStart(update);
        }
    }

    bool startChild(Update &update)
    {
        int pipes[3][2];
        int made = 0;
        for (; made < 3; made++)
            if (pipe2(pipes[made], O_CLOEXEC) != 0)
                break;
        if (made < 3) {
            for (int i = 0; i < made; i++) {
                close(pipes[i][0]);
                close(pipes[i][1]);
            }
            return false;
        }
        // A signal that came between the fork and the child's own handlers
        // would be taken for the parent's.
        sigset_t blocked, before;
        sigemptyset(&blocked);
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&blocked, signal_number);
        sigprocmask(SIG_BLOCK, &blocked, &before);
        pid_t pid = fork();
        if (pid == 0)
            runChild(options_.img, update.device.port, pipes[0][1], pipes[1][1], pipes[2][1], update_, before);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        for (auto &pipe : pipes)
            close(pipe[1]);
        if (pid < 0) {
            for (auto &pipe : pipes)
                close(pipe[0]);
            return false;
        }
        update.pid = pid;
        update.out = Stream{pipes[0][0], FleetStream::out, false, ""};
        update.err = Stream{pipes[1][0], FleetStream::err, false, ""};
        update.phases = Stream{pipes[2][0], FleetStream::out, true, ""};
        update.state = RunState::running;
        update.started = monotonicNow();
        update.device.started_at = realNow();
        setPhase(update, "starting");
        return true;
    }

    void failToStart(Update &update)
    {
        update.state = RunState::ended;
        update.wait_status = EXIT_NOT_ALL_UPDATED << 8;
        update.last_line = std::string("fwlaunch: the update cannot start: ") + strerror(errno);
        update.device.started_at = realNow();
        report(update);
    }

    // The first stop signal asks the updates to end; a second one insists.
    void handleSignals()
    {
        if (stop_signals_received != stops_handled_) {
            for (Update &update : updates_)
                if (update.state == RunState::running) {
                    update.interrupted = true;
                    kill(update.pid, stops_handled_ == 0 ? SIGTERM : SIGKILL);
                }
            startNoMore();
            stops_handled_ = stop_signals_received;
        }
        if (hung_up != 0 && !hang_up_handled_) {
            startNoMore();
            giveUpTerminalChannels();
            tell([](FleetView &view) { view.terminalGone(); });
            hang_up_handled_ = true;
        }
    }

    void startNoMore()
    {
        for (Update &update : updates_)
            if (update.state == RunState::queued && update.phase != "not started")
                setPhase(update, "not started");
    }

    // An update still running after its time is asked to end, then killed.
    void enforceTimeouts()
    {
        double now = monotonicNow();
        for (Update &update : updates_) {
            if (update.state != RunState::running || options_.timeout_seconds <= 0)
                continue;
            if (!update.timed_out && now - update.started >= options_.timeout_seconds) {
                update.timed_out = true;
                update.phase_when_timed_out = update.phase;
                update.kill_at = now + KILL_GRACE_SECONDS;
                kill(update.pid, SIGTERM);
            } else if (update.kill_at != 0 && now >= update.kill_at) {
                update.kill_at = 0;
                kill(update.pid, SIGKILL);
            }
        }
    }

    // How long the loop may sleep: until the source wants another look or
    // the next deadline of an update; -1 for as long as it takes.
    int sleepMs() const
    {
        double wait = -1;
        auto consider = [&](double seconds) { wait = wait < 0 ? seconds : std::min(wait, seconds); };
        if (source_ != nullptr && source_->timeoutMs() >= 0)
            consider(source_->timeoutMs() / 1000.0);
        double now = monotonicNow();
        for (const Update &update : updates_) {
            if (update.state != RunState::running || options_.timeout_seconds <= 0)
                continue;
            if (!update.timed_out)
                consider(update.started + options_.timeout_seconds - now);
            else if (update.kill_at != 0)
                consider(update.kill_at - now);
        }
        return wait < 0 ? -1 : static_cast<int>(std::max(0.0, wait) * 1000) + 1;
    }

    // --- Following the updates ---------------------------------------------------

    void waitForNews()
    {
        std::vector<pollfd> fds;
        std::vector<std::pair<Update *, Stream *>> owners;
        auto watchFd = [&](int fd, Update *update, Stream *stream) {
            fds.push_back({fd, POLLIN, 0});
            owners.emplace_back(update, stream);
        };
        watchFd(signal_pipe[0], nullptr, nullptr);
        if (source_ != nullptr && source_->fd() >= 0)
            watchFd(source_->fd(), nullptr, nullptr);
        for (Update &update : updates_)
            for (Stream *stream : {&update.phases, &update.out, &update.err})
                if (stream->fd >= 0)
                    watchFd(stream->fd, &update, stream);
        if (poll(fds.data(), fds.size(), sleepMs()) < 0)
            return;
        if (fds[0].revents != 0)
            drainSignalPipe();
        for (size_t i = 1; i < fds.size(); i++)
            if (fds[i].revents != 0 && owners[i].first != nullptr)
                readStream(*owners[i].first, *owners[i].second);
        for (Update &update : updates_)
            if (update.state == RunState::running && update.out.fd < 0 && update.err.fd < 0 &&
                update.phases.fd < 0)
                endUpdate(update);
    }

    // Reads what a child has written on one stream and takes in every line
    // that is whole; at the end of the stream, the rest as a line.
    void readStream(Update &update, Stream &stream)
    {
        char buffer[4096];
        ssize_t count = read(stream.fd, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0) {
            if (!stream.pending.empty())
                takeLine(update, stream, stream.pending);
            stream.pending.clear();
            closeStream(stream);
            return;
        }
        stream.pending.append(buffer, static_cast<size_t>(count));
        size_t feed;
        while ((feed = stream.pending.find('\n')) != std::string::npos) {
            std::string line = stream.pending.substr(0, feed);
            stream.pending.erase(0, feed + 1);
            takeLine(update, stream, line);
        }
        if (stream.pending.size() >= LONGEST_LINE) {
            std::string line;
            line.swap(stream.pending);
            takeLine(update, stream, line);
        }
        // The progress bar is not ended by a line feed until the download is.
        if (!stream.phases)
            followProgress(update, lastState(stream.pending));
    }

    void followProgress(Update &update, const std::string &text)
    {
        int percent = downloadPercent(text);
        if (percent < 0 || percent == update.percent)
            return;
        update.percent = percent;
        tell([&](FleetView &view) { view.progress(update.device, percent, realNow()); });
    }

    // What the child says of itself: a phase, or that the port is busy.
    void takePhase(Update &update, const std::string &line)
    {
        PhaseReport report;
        if (!parsePhaseLine(line, &report))
            return;
        if (report.phase != Phase::busy) {
            setPhase(update, phaseWord(report.phase));
            return;
        }
        update.busy = true;
        if (report.busy_holder != 0)
            update.busy_holder = "process " + std::to_string(report.busy_holder);
    }

    void takeLine(Update &update, const Stream &stream, const std::string &line)
    {
        if (stream.phases) {
            takePhase(update, line);
            return;
        }
        std::string text = lastState(line);
        followProgress(update, text);
        if (!text.empty())
            update.last_line = text;
        tell([&](FleetView &view) { view.line(update.device, stream.which, text, realNow()); });
    }

    void endUpdate(Update &update)
    {
        int status = 0;
        while (waitpid(update.pid, &status, 0) < 0 && errno == EINTR) {
        }
        update.wait_status = status;
        update.state = RunState::ended;
        // Ctrl-C reaches the children from the terminal, maybe before we
        // had a chance to stop them ourselves.
        if (stopping_signal != 0 && !wasUpdated(update))
            update.interrupted = true;
        if (update.interrupted && !wasUpdated(update) && !update.busy && !update.timed_out)
            setPhase(update, "interrupted"); // its result comes with the second look, at the end
        else
            report(update);
    }

    FleetResult resultOf(const Update &update) const
    {
        FleetResult result;
        const int status = update.wait_status;
        if (update.state == RunState::ended) {
            result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            result.exit_status = WIFSIGNALED(status) ? EXIT_SIGNALLED_BASE + WTERMSIG(status) : WEXITSTATUS(status);
        }
        if (wasUpdated(update))
            result.outcome = "updated";
        else if (update.busy)
            result.outcome = "busy";
        else if (update.timed_out)
            result.outcome = "timed out";
        else if (update.interrupted)
            result.outcome = "interrupted";
        else if (update.state == RunState::queued)
            result.outcome = "not started";
        else
            result.outcome = "failed";
        result.phase = update.timed_out ? update.phase_when_timed_out : update.phase;
        if (!wasUpdated(update))
            result.last_error_line = update.last_line;
        result.busy_holder = update.busy_holder;
        result.time = realNow();
        if (update.state == RunState::ended)
            result.seconds = monotonicNow() - update.started;
        return result;
    }

    void report(const Update &update, bool left_in_bootloader = false)
    {
        FleetResult result = resultOf(update);
        result.left_in_bootloader = left_in_bootloader;
        if (result.outcome == "updated" || result.outcome == "failed" || result.outcome == "timed out")
            memory_.ended(update.sighting, result.outcome == "updated", result.time);
        if (source_ != nullptr)
            source_->updateEnded(update.device.port);
        tell([&](FleetView &view) { view.result(update.device, result); });
    }

    // --- The end -----------------------------------------------------------------

    static bool wasCutShort(const Update &update)
    {
        return update.state == RunState::queued || (update.interrupted && !wasUpdated(update) &&
                                                     !update.busy && !update.timed_out);
    }

    // A device stopped on its way, or never started, is looked for once
    // more: one left in its bootloader is updated by the next run, --all
    // or --port, straight from there.
    int end()
    {
        if (waiting_) {
            waiting_ = false;
            tell([&](FleetView &view) { view.waiting(false, realNow()); });
        }
        std::vector<OndrixDevice> devices;
        if (std::any_of(updates_.begin(), updates_.end(), wasCutShort))
            devices = listOndrixDevices();
        for (const Update &update : updates_)
            if (wasCutShort(update))
                report(update, std::any_of(devices.begin(), devices.end(), [&](const OndrixDevice &device) {
                           return device.port == update.device.port && device.in_bootloader;
                       }));
        FleetSummary summary;
        summary.time = realNow();
        summary.taken_up = updates_.size();
        summary.updated = static_cast<size_t>(std::count_if(updates_.begin(), updates_.end(), wasUpdated));
        if (stopping_signal != 0)
            summary.exit_status = EXIT_SIGNALLED_BASE + stopping_signal;
        else if (summary.updated == summary.taken_up && (options_.watch || summary.taken_up > 0))
            summary.exit_status = EXIT_ALL_UPDATED;
        else
            summary.exit_status = EXIT_NOT_ALL_UPDATED;
        tell([&](FleetView &view) { view.summary(summary); });
        return summary.exit_status;
    }

    const SupervisorOptions &options_;
    std::vector<FleetView *> views_;
    UpdateOnePort update_;
    std::unique_ptr<DeviceSource> source_;
    std::deque<Update> updates_;
    DeviceMemory memory_;
    bool waiting_ = false;
    sig_atomic_t stops_handled_ = 0;
    bool hang_up_handled_ = false;
};

} // namespace

int superviseUpdates(const SupervisorOptions &options, const std::vector<FleetView *> &views, UpdateOnePort update)
{
    return Supervisor(options, views, update).run();
}
