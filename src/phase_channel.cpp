#include "phase_channel.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace {

struct PhaseWord {
    Phase phase;
    const char *word;
};

const PhaseWord PHASE_WORDS[] = {{Phase::switching, "switching"},
                                 {Phase::waiting_for_bootloader, "waiting for the bootloader"},
                                 {Phase::downloading, "downloading"},
                                 {Phase::busy, "busy"}};

// A process ID: positive, decimal, without a sign or leading zeros. Read
// with from_chars, not strtol, for the reason isJobCount gives.
bool readProcessId(const std::string &text, pid_t *pid)
{
    const char *end = text.data() + text.size();
    pid_t value = 0;
    std::from_chars_result read = std::from_chars(text.data(), end, value);
    if (text.empty() || text[0] < '1' || text[0] > '9' || read.ptr != end || read.ec != std::errc())
        return false;
    *pid = value;
    return true;
}

} // namespace

const char *phaseWord(Phase phase)
{
    for (const PhaseWord &entry : PHASE_WORDS)
        if (entry.phase == phase)
            return entry.word;
    return "";
}

void reportPhase(int fd, const PhaseReport &report)
{
    if (fd == NO_PHASE_CHANNEL)
        return;
    std::string line = phaseWord(report.phase);
    if (report.phase == Phase::busy && report.busy_holder > 0)
        line += " " + std::to_string(report.busy_holder);
    line += "\n";
    while (write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
    }
}

bool parsePhaseLine(const std::string &text, PhaseReport *report)
{
    for (const PhaseWord &entry : PHASE_WORDS)
        if (text == entry.word) {
            *report = PhaseReport{entry.phase, 0};
            return true;
        }
    const std::string busy_holder_prefix = std::string(phaseWord(Phase::busy)) + " ";
    pid_t holder = 0;
    if (text.compare(0, busy_holder_prefix.size(), busy_holder_prefix) != 0 ||
        !readProcessId(text.substr(busy_holder_prefix.size()), &holder))
        return false;
    *report = PhaseReport{Phase::busy, holder};
    return true;
}
