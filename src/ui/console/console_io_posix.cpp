#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/posix/posix_platform.h"
#include "ui/console/console_io.h"

namespace quarvex::console {

namespace {

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
    signal(SIGINT, SIG_DFL);  // a second Ctrl+C ends the program at once
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void writeOut(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void flushOut() {
    std::fflush(stdout);
}

void writeErr(std::string_view text) {
    writeAll(STDERR_FILENO, text);
}

bool errIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool outIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int terminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void prepare() {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;  // a blocked write of results resumes; the pump sees the flag
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool interruptPending() {
    return interrupted != 0;
}

std::string currentFolder() {
    char path[PATH_MAX];
    return getcwd(path, sizeof path) != nullptr ? path : ".";
}

std::unique_ptr<Platform> makePlatform() {
    return std::make_unique<posix::PosixPlatform>();
}

}  // namespace quarvex::console
