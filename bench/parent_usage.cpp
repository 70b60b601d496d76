// Runs a command and prints, on standard error, its wall-clock time and
// the processor time and peak resident memory of its own process alone:
//
//   wall_ms 3291 cpu_us 41873 user_ms 10 system_ms 30 peak_kib 3912
//
// The usual ways count the command's children too: wait4() and
// RUSAGE_CHILDREN add in every child the command itself waited for. So
// the command runs traced, and in the instant before it exits (ptrace's
// exit event, when only its exit status is left to report) its own
// figures are read from /proc: its time on a processor, in nanoseconds,
// from /proc/PID/schedstat; utime and stime of /proc/PID/stat, the same
// split into user and system time, in clock ticks (its children's are
// the separate cutime and cstime); VmHWM of /proc/PID/status, the peak
// since its exec. The command is taken to run one thread. Nothing else is traced: its
// children run untouched.

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Usage {
    long long cpu_ns = -1;
    long user_ms = -1, system_ms = -1, peak_kib = -1;
};

Usage read_usage(pid_t pid)
{
    Usage usage;
    const long ms_per_tick = 1000 / sysconf(_SC_CLK_TCK);
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int number = 3; fields >> field; number++) {
        if (number == 14)
            usage.user_ms = std::stol(field) * ms_per_tick;
        else if (number == 15)
            usage.system_ms = std::stol(field) * ms_per_tick;
    }
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    schedstat >> usage.cpu_ns;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0)
            usage.peak_kib = std::stol(line.substr(6));
    return usage;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: fwlaunch-parent-usage PROGRAM [ARG]...\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);  // lets the tracer set its options before the exec
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    Usage usage;
    for (;;) {
        if (waitpid(pid, &status, 0) != pid)
            return 1;
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        int deliver = 0;
        if (status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8))
            usage = read_usage(pid);
        else if (status >> 16 == 0)
            deliver = WSTOPSIG(status);  // a signal for the command: pass it on
        ptrace(PTRACE_CONT, pid, nullptr, deliver);
    }
    const auto wall = std::chrono::steady_clock::now() - start;
    fprintf(stderr, "wall_ms %lld cpu_us %lld user_ms %ld system_ms %ld peak_kib %ld\n",
            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()),
            usage.cpu_ns / 1000, usage.user_ms, usage.system_ms, usage.peak_kib);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
