#include "text_view.h"

#include "log_view.h"
#include "output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char NOT_FOUND[] = "don't found any ondrix hid device\n"
                         "please check if you has plun in a ondrix usb device\n";

bool onATerminal()
{
    const char *term = getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && term != nullptr && strcmp(term, "dumb") != 0;
}

// The terminal's height; 0 when it does not say.
size_t terminalRows()
{
    struct winsize size = {};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
}

std::string shownSerial(const std::string &serial)
{
    return serial.empty() ? "-" : serial;
}

class TextView : public FleetView {
public:
    void started(const FleetStart &start) override
    {
        watch_ = start.watch;
        if (!watch_ && start.ports.empty()) {
            emit(Channel::out, NOT_FOUND);
            return;
        }
        for (const std::string &port : start.ports)
            rowOf(port);
        emit(Channel::out, firstLine(start));
        live_ = onATerminal();
        screen_rows_ = terminalRows();
        draw();
    }

    void takenUp(const FleetDevice &device) override
    {
        Row &row = rowOf(device.port);
        row.phase = "queued";
        row.ended = false;
        if (watch_)
            say(Channel::out, "taking up the ondrix device on " + device.port + " (" + shownSerial(device.serial) +
                                  ", " + (device.in_bootloader ? "in its bootloader" : "normal mode") + ")\n");
        else
            redraw();
    }

    void phase(const FleetDevice &device, const std::string &phase, double) override
    {
        rowOf(device.port).phase = phase == "downloading" ? "downloading 0 %" : phase;
        redraw();
    }

    void progress(const FleetDevice &device, int percent, double) override
    {
        std::string shown = "downloading " + std::to_string(percent) + " %";
        Row &row = rowOf(device.port);
        if (row.phase == shown)
            return;
        row.phase = shown;
        redraw();
    }

    void line(const FleetDevice &device, FleetStream stream, const std::string &text, double) override
    {
        say(stream == FleetStream::err ? Channel::err : Channel::out,
            "[" + device.port + "]" + (text.empty() ? "" : " " + text) + "\n");
    }

    void result(const FleetDevice &device, const FleetResult &result) override
    {
        Row &row = rowOf(device.port);
        row.phase = result.outcome;
        row.ended = true;
        row.summary = summaryText(result);
        if (watch_) {
            if (result.outcome == "updated")
                updated_++;
            else
                failed_.push_back(resultText(device, result));
            say(Channel::out, resultText(device, result) + "\n");
        } else {
            redraw();
        }
    }

    void alreadyUpdated(const FleetDevice &device, double) override
    {
        say(Channel::out, device.port + " " + shownSerial(device.serial) + ": already updated\n");
    }

    void waiting(bool waiting, double) override
    {
        waiting_ = waiting;
        redraw();
    }

    void summary(const FleetSummary &summary) override
    {
        if (!watch_ && summary.taken_up == 0)
            return;
        redraw();
        drawn_ = 0; // the table's last state stays on the screen
        std::string text;
        if (watch_) {
            for (const std::string &line : failed_)
                text += line + "\n";
        } else {
            for (const Row &row : rows_)
                text += padded(row.port, row.summary);
        }
        text += std::to_string(summary.updated) + " of " + std::to_string(summary.taken_up) +
                " ondrix devices updated\n";
        emit(Channel::out, text);
        if (!isOpen(Channel::out))
            emit(Channel::err, text);
    }

    void terminalGone() override
    {
        live_ = false;
        drawn_ = 0;
    }

private:
    struct Row {
        std::string port;
        std::string phase = "queued";
        std::string summary; // --all: what came of it
        bool ended = false;
    };

    std::string firstLine(const FleetStart &start) const
    {
        std::string line = start.watch ? "watching for ondrix devices to update" :
                                         "updating " + std::to_string(start.ports.size()) + " ondrix devices";
        if (start.jobs != 0 && (start.watch || start.jobs < start.ports.size()))
            line += ", " + std::to_string(start.jobs) + " at a time";
        for (size_t i = 0; i < start.ports.size() && !start.watch; i++)
            line += (i == 0 ? ": " : ", ") + start.ports[i];
        if (start.left_alone > 0)
            line += "; " + std::to_string(start.left_alone) + " left alone";
        return line + "\n";
    }

    // --all's summary of a port.
    static std::string summaryText(const FleetResult &result)
    {
        if (result.outcome == "failed") {
            std::string how = result.signal != 0 ? "killed by signal " + std::to_string(result.signal)
                                                 : "status " + std::to_string(result.exit_status);
            return "failed (" + how + ")" + (result.last_error_line.empty() ? "" : ": " + result.last_error_line);
        }
        if (result.outcome == "busy")
            return "busy: another run is updating it" +
                   (result.busy_holder.empty() ? "" : " (" + result.busy_holder + ")");
        if (result.outcome == "timed out")
            return "timed out while " + result.phase;
        return result.outcome + (result.left_in_bootloader ? ", left in its bootloader" : "");
    }

    Row &rowOf(const std::string &port)
    {
        auto found = std::find_if(rows_.begin(), rows_.end(), [&](const Row &row) { return row.port == port; });
        if (found != rows_.end())
            return *found;
        rows_.push_back(Row{port, "queued", "", false});
        width_ = std::max(width_, port.size());
        return rows_.back();
    }

    std::string padded(const std::string &port, const std::string &text) const
    {
        return port + std::string(width_ - port.size() + 2, ' ') + text + "\n";
    }

    // The rows under the output: --all every port; --watch the devices
    // under way and a status line.
    std::string table() const
    {
        std::string text;
        size_t updating = 0;
        for (const Row &row : rows_) {
            if (watch_ && row.ended)
                continue;
            text += padded(row.port, row.phase);
            updating++;
        }
        if (watch_)
            text += std::to_string(updated_) + " updated, " + std::to_string(failed_.size()) + " failed, " +
                    std::to_string(updating) + " updating" + (waiting_ ? ", waiting for devices" : "") + "\n";
        return text;
    }

    void erase()
    {
        if (drawn_ == 0)
            return;
        // Up to the table's first row, then clear to the end of the screen.
        emit(Channel::out, "\033[" + std::to_string(drawn_) + "A\r\033[J");
        drawn_ = 0;
    }

    // A table is drawn only where it fits below at least a few lines of
    // output: drawn taller than the screen, it could not be redrawn in place.
    void draw()
    {
        if (!live_ || !isOpen(Channel::out))
            return;
        std::string text = table();
        size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        if (screen_rows_ != 0 && lines + 3 > screen_rows_)
            return;
        emit(Channel::out, text);
        drawn_ = static_cast<int>(lines);
    }

    void redraw()
    {
        if (!live_)
            return;
        erase();
        draw();
    }

    // A line above the table.
    void say(Channel channel, const std::string &text)
    {
        erase();
        emit(channel, text);
        draw();
    }

    bool watch_ = false;
    bool live_ = false;
    bool waiting_ = false;
    int drawn_ = 0;
    size_t screen_rows_ = 0;
    size_t width_ = 0;
    size_t updated_ = 0;
    std::vector<std::string> failed_;
    std::vector<Row> rows_;
};

} // namespace

std::unique_ptr<FleetView> newTextView()
{
    return std::make_unique<TextView>();
}
