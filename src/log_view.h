#ifndef FWLAUNCH_LOG_VIEW_H
#define FWLAUNCH_LOG_VIEW_H

#include "fleet_events.h"

#include <map>
#include <string>

// --log-dir DIR: 1 when this process can create files in DIR; otherwise
// -1, after "fwlaunch: cannot write logs in DIR: REASON" on standard
// error.
int checkLogDir(const char *dir);

// How a device's update ended, on one line for a person to read:
// "1-1 OX-000001: updated in 12.3 s", "1-2 -: failed (status 74) after
// 3.1 s: LAST LINE" (the serial number "-" when it has none).
std::string resultText(const FleetDevice &device, const FleetResult &result);

// --log-dir: a file in DIR for each update, named by its start (UTC), its
// port and its serial number, "20261209T030405.678Z_1-1_OX-000001.log".
// It holds the lines the update wrote, as they come, and its result line
// at the end. A device never started gets a file with its result alone.
class LogView : public FleetView {
public:
    explicit LogView(const std::string &dir);
    ~LogView() override;
    LogView(const LogView &) = delete;
    LogView &operator=(const LogView &) = delete;

    void phase(const FleetDevice &device, const std::string &phase, double time) override;
    void line(const FleetDevice &device, FleetStream stream, const std::string &text, double time) override;
    void result(const FleetDevice &device, const FleetResult &result) override;

private:
    struct LogFile {
        std::string path;
        int fd = -1; // -1 when it could not be created, or once a write failed
    };

    LogFile &fileFor(const FleetDevice &device, double time);
    std::string fileName(const FleetDevice &device, double time, int clash) const;
    void writeLine(LogFile &file, const std::string &text);

    std::string dir_; // ends in '/'
    // By port: the file of the update under way on it (one at a time).
    std::map<std::string, LogFile> files_;
};

#endif
