// quarvex-find: the search of the Quarvex window, run from a terminal or a script.
#include <memory>
#include <string>
#include <vector>

#include "search/search_core.h"
#include "ui/console/console_io.h"
#include "ui/console/console_window.h"

namespace {

constexpr char kUsage[] =
    "Usage: quarvex-find [PATTERN [ROOTS]]\n"
    "       quarvex-find --drives | --help | --version\n"
    "\n"
    "Lists every file below ROOTS whose name matches PATTERN, one line each:\n"
    "  path ----- size Bytes\n"
    "then reports the count and the total size on standard error.\n"
    "\n"
    "PATTERN  Windows wildcards, letters in any case: * any run, ? one character; a pattern\n"
    "         without a dot gets \"*.*\" appended (default \"*.*\").\n"
    "ROOTS    folders or drives separated by spaces, searched in that order (default: the\n"
    "         current folder). Folders whose names begin with \".\" are skipped.\n"
    "--drives lists the drives the window offers; \"*\" marks the one it preselects.\n"
    "\n"
    "Ctrl+C stops the search; the report still shows what was found.\n"
    "Exit status: 0 files found, 1 none found, 2 usage error, 130 stopped by Ctrl+C.\n";

constexpr char kVersion[] = "quarvex-find 1.0.0.0\n";

enum Exit { kFound = 0, kNoneFound = 1, kUsageError = 2, kInterrupted = 130 };

}  // namespace

int main(int argc, char** argv) {
    using namespace quarvex;
    using namespace quarvex::console;

    std::vector<std::string> args = arguments(argc, argv);
    bool listDrives = false;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "--help" || arg == "-h") {
                writeOut(kUsage);
                flushOut();
                return 0;
            } else if (arg == "--version") {
                writeOut(kVersion);
                flushOut();
                return 0;
            } else if (arg == "--drives") {
                listDrives = true;
            } else {
                writeErr("quarvex-find: unknown option " + arg + "\n" + kUsage);
                return kUsageError;
            }
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.size() > 2 || (listDrives && !operands.empty())) {
        writeErr(std::string("quarvex-find: too many arguments\n") + kUsage);
        return kUsageError;
    }

    prepare();
    const std::unique_ptr<Platform> platform = makePlatform();
    ConsoleWindow window(errIsTerminal(), outIsTerminal());
    SearchCore search(window, *platform);
    window.attach(search);
    search.init();

    if (listDrives) {
        const std::ptrdiff_t selected = window.comboSelectedIndex();
        for (std::size_t i = 0; i < window.comboCount(); ++i) {
            writeOut(static_cast<std::ptrdiff_t>(i) == selected ? "* " : "  ");
            writeOut(window.comboEntry(i));
            writeOut("\n");
        }
        flushOut();
        return 0;
    }

    window.setText1(operands.empty() ? "*.*" : operands[0]);
    window.setComboText(operands.size() < 2 ? currentFolder() : operands[1]);
    search.Command1_Click();
    flushOut();

    if (window.patternRefused()) return kUsageError;
    if (window.interrupted()) return kInterrupted;
    return search.state().FoundCount > 0 ? kFound : kNoneFound;
}
