#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/posix/posix_platform.h"
#include "ui/console/console_io.h"

namespace quarvex::console {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kPipeBytes = 1 << 20;  // the most an ordinary user may ask for, as Linux comes

volatile sig_atomic_t stopSignal = 0;
// Written to by the handler, so that a wait for input wakes whichever thread got the signal.
int stopPipe[2] = {-1, -1};

void onStopSignal(int number) {
    if (stopSignal == 0) stopSignal = number;
    const int saved = errno;
    if (stopPipe[1] >= 0) {
        [[maybe_unused]] const ssize_t sent = write(stopPipe[1], "", 1);  // full: one waits
    }
    errno = saved;
    // A second request ends the program at once, as it would have without us.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (const int caught : kStopSignals) {
        struct sigaction current {};
        if (sigaction(caught, nullptr, &current) == 0 && current.sa_handler == onStopSignal)
            sigaction(caught, &fallback, nullptr);
    }
}

// All of `text`, or false with errno set.
bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {  // no progress and no reason: do not spin
            errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

class PosixTerminal final : public Terminal {
  public:
    bool writeOut(std::string_view text, std::string& error) override {
        if (writeAll(STDOUT_FILENO, text)) return true;
        error = std::strerror(errno);
        return false;
    }

    void writeErr(std::string_view text) override { writeAll(STDERR_FILENO, text); }

    int columns() override {
        winsize size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
        return size.ws_col;
    }

    int stopRequest() override { return stopSignal != 0 ? 128 + stopSignal : 0; }
};

}  // namespace

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void prepare() {
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
    // Results go out in blocks of a quarter megabyte: a pipe that holds four of them lets the
    // walk go on while the reader reads. Past the user's share of pipe memory the system says
    // no, and the pipe stays as it was.
    struct stat out {};
    if (fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode) &&
        fcntl(STDOUT_FILENO, F_GETPIPE_SZ) < kPipeBytes)
        (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeBytes);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;  // a blocked write of results resumes; the pump sees the flag
    sigemptyset(&action.sa_mask);
    for (const int number : kStopSignals) sigaddset(&action.sa_mask, number);
    for (const int number : kStopSignals) {
        // A signal ignored at start (nohup, a background job of a script) stays ignored.
        struct sigaction current {};
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
}

Terminal& systemTerminal() {
    static PosixTerminal terminal;
    return terminal;
}

bool errIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool outIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

Input readLine(std::string& line) {
    static std::string pending;  // read but not yet handed out
    static bool ended = false;
    for (;;) {
        if (stopSignal != 0) return Input::Stopped;
        const std::size_t end = pending.find('\n');
        if (end != std::string::npos || (ended && !pending.empty())) {
            line.assign(pending, 0, end);
            pending.erase(0, end == std::string::npos ? end : end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return Input::Line;
        }
        if (ended) return Input::End;
        pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno != EINTR) ended = true;
            continue;
        }
        if (ready[0].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0)
            pending.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            ended = true;
    }
}

std::string currentFolder() {
    char path[PATH_MAX];
    return getcwd(path, sizeof path) != nullptr ? path : ".";
}

std::unique_ptr<Platform> makePlatform() {
    return std::make_unique<posix::PosixPlatform>();
}

}  // namespace quarvex::console
