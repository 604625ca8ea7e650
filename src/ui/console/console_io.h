// The terminal beneath the console front end; one implementation per operating system.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "search/platform.h"

namespace quarvex::console {

// The program's arguments as UTF-8, without the program name.
std::vector<std::string> arguments(int argc, char** argv);

// Standard output, buffered: result lines go here.
void writeOut(std::string_view text);
void flushOut();
// Standard error, unbuffered.
void writeErr(std::string_view text);

bool errIsTerminal();
bool outIsTerminal();
// Columns of the terminal on standard error, or 0 when unknown.
int terminalColumns();

// Buffers standard output, and from now on Ctrl+C sets the flag that interruptPending() reads; a
// second Ctrl+C ends the program.
void prepare();
bool interruptPending();

// The absolute path of the current folder.
std::string currentFolder();

std::unique_ptr<Platform> makePlatform();

}  // namespace quarvex::console
