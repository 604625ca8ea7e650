// The terminal beneath the console front end; one implementation per operating system.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "search/os/platform.h"

namespace quarvex::console {

// Standard output and standard error as the console window uses them. The program hands it
// systemTerminal(); tests hand it their own.
class Terminal {
  public:
    virtual ~Terminal() = default;

    // Writes all of `text` to standard output. On failure returns false and sets `error` to the
    // system's words for it ("No space left on device").
    virtual bool writeOut(std::string_view text, std::string& error) = 0;
    // Standard error: a failure there has nowhere left to be told, so it is not.
    virtual void writeErr(std::string_view text) = 0;
    // Columns of the terminal on standard error, or 0 when unknown.
    virtual int columns() = 0;
    // The exit status the first stop request asks for (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP or a
    // closed console), or 0 while none came. Read at every pump, so it must be cheap.
    virtual int stopRequest() = 0;
};

// The program's arguments as UTF-8, without the program name.
std::vector<std::string> arguments(int argc, char** argv);

// From now on Ctrl+C and the other stop requests are caught for stopRequest(); a second one ends
// the program at once.
void prepare();
Terminal& systemTerminal();

bool errIsTerminal();
bool outIsTerminal();

// What readLine() found.
enum class Input { Line, End, Stopped };
// The next line of standard input, without its end ("\n" or "\r\n"; the last one may have none).
// Waits for it; a stop request ends the wait at once.
Input readLine(std::string& line);

// The absolute path of the current folder.
std::string currentFolder();

std::unique_ptr<Platform> makePlatform();

}  // namespace quarvex::console
