// quarvex-find: the search of the Quarvex window, run from a terminal or a script.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "search/core/search_core.h"
#include "search/store/listing_store.h"
#include "ui/console/console_io.h"
#include "ui/console/console_window.h"

namespace {

using namespace quarvex;
using namespace quarvex::console;

constexpr char kUsage[] =
    "Usage: quarvex-find [-0] [-j N] [--show-errors] [PATTERN [ROOTS]]\n"
    "       quarvex-find --queries [-0] [-j N] [--show-errors] [ROOTS]\n"
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
    "-0, --null  ends each result with a NUL character instead of a newline, as find -print0\n"
    "         does, so that no file name can pass for a result of its own.\n"
    "-j N, --threads N  walks with up to N threads: one per core at first, more while folders\n"
    "         are slow to read (a cold disk); default 64. -j1 is a plain single-threaded walk.\n"
    "         The output is the same for every N.\n"
    "--show-errors  tells on standard error each folder that could not be read, and why:\n"
    "         quarvex-find: cannot read 'PATH': Permission denied\n"
    "--drives lists the drives the window offers; \"*\" marks the one it preselects.\n"
    "--queries reads patterns from standard input, one a line (a TAB and ROOTS after it\n"
    "         search those instead), and answers each with the lines a search for it would\n"
    "         print at that moment, then an empty line (an empty record with -0); each\n"
    "         report goes to standard error. What one search listed answers the next ones\n"
    "         from memory, kept exact by change notification. At the end of input it ends\n"
    "         with status 0.\n"
    "\n"
    "On a terminal, control characters in names are shown as \"?\"; a pipe or a file gets the\n"
    "names' exact bytes.\n"
    "Ctrl+C stops the search, and so do SIGTERM and SIGHUP (on Windows Ctrl+Break and closing\n"
    "the console); the report still shows what was found. A second one ends it at once.\n"
    "On Linux a reader that goes away (as head does) ends the program by SIGPIPE, silently\n"
    "and with status 141, as it ends find and grep; only with SIGPIPE ignored is it a write\n"
    "error (3) with a message.\n"
    "Exit status: 0 files found, 1 none found, 2 usage error, 3 write error (the output is\n"
    "incomplete and the search stopped), 4 memory ran out (the search stopped; the output\n"
    "is incomplete), 128+N stopped by signal N (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP or the\n"
    "console closed).\n";

constexpr char kVersion[] = "quarvex-find 1.0.0.0\n";

enum class Action { Search, Queries, Drives, Help, Version };

struct Options {
    Action action = Action::Search;
    char lineEnd = '\n';
    bool showErrors = false;
    std::optional<unsigned> threads;
    std::vector<std::string> operands;  // PATTERN and ROOTS
};

// A thread count: a whole number from 1 to 1024.
std::optional<unsigned> threadCount(const std::string& text) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned n = static_cast<unsigned>(std::stoul(text));
    if (n < 1 || n > 1024) return std::nullopt;
    return n;
}

// Step 1: the command line as options and operands, or the reason it is not a valid one.
std::optional<Options> parseArguments(const std::vector<std::string>& args, std::string& problem) {
    Options options;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && (arg == "-j" || arg == "--threads" || arg.rfind("-j", 0) == 0 ||
                              arg.rfind("--threads=", 0) == 0)) {
            std::string value;
            if (arg == "-j" || arg == "--threads") {
                if (i + 1 < args.size()) value = args[++i];
            } else {
                value = arg.substr(arg[1] == 'j' ? 2 : std::string("--threads=").size());
            }
            options.threads = threadCount(value);
            if (!options.threads) {
                problem = "the thread count must be a number from 1 to 1024";
                return std::nullopt;
            }
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            options.action = Action::Help;
            return options;
        } else if (arg == "--version") {
            options.action = Action::Version;
            return options;
        } else if (arg == "--drives") {
            options.action = Action::Drives;
        } else if (arg == "--queries") {
            options.action = Action::Queries;
        } else if (arg == "-0" || arg == "--null") {
            options.lineEnd = '\0';
        } else if (arg == "--show-errors") {
            options.showErrors = true;
        } else {
            problem = "unknown option " + arg;
            return std::nullopt;
        }
    }
    if (options.operands.size() > 2 ||
        (options.action == Action::Drives && !options.operands.empty()) ||
        (options.action == Action::Queries && options.operands.size() > 1)) {
        problem = "too many arguments";
        return std::nullopt;
    }
    return options;
}

// Step 2: the options that answer at once.
int answer(const char* text) {
    Terminal& terminal = systemTerminal();
    std::string error;
    if (terminal.writeOut(text, error)) return kExitFound;
    terminal.writeErr("quarvex-find: write error: " + error + "\n");
    return kExitWriteError;
}

// Searches `pattern` below `roots` (the selector's text), or below the current folder as it
// stands, whatever its name holds, as the window's start button searches.
void runSearch(SearchCore& core, const Options& options, const std::string& pattern,
               const std::optional<std::string>& roots) {
    std::optional<SearchRequest> request = core.request(pattern, roots.value_or(std::string()));
    if (!request) {
        core.refusePattern();
        return;
    }
    if (!roots) request->roots = {core.completeRoot(currentFolder())};
    request->tellUnreadable = options.showErrors;
    core.run(*request);
}

// A test hook: with QUARVEX_TEST_SETTLE set, each answer of --queries ends only once the store's
// background work is done, so that a test can change the tree under a store that trusts it all.
bool settleBeforeEachAnswerEnds() {
    const char* value = std::getenv("QUARVEX_TEST_SETTLE");
    return value != nullptr && *value != '\0';
}

// A test hook: QUARVEX_TEST_STORE_BYTES bounds what --queries keeps (in bytes) below its
// default, so that the benchmark tries a tree past the bound without making one of 256 MB.
std::size_t storeBound() {
    const char* value = std::getenv("QUARVEX_TEST_STORE_BYTES");
    return value != nullptr ? static_cast<std::size_t>(std::strtoull(value, nullptr, 10)) : 0;
}

// --queries: one search a line of standard input, all over one listing store. At the end of
// input the status is 0, whatever the answers were: each one's outcome is in its report.
int answerQueries(const Options& options, ConsoleWindow& window, SearchCore& search) {
    search.keepListings(storeBound());
    std::optional<std::string> roots;
    if (!options.operands.empty()) roots = options.operands[0];
    const bool settle = settleBeforeEachAnswerEnds();
    std::string query;
    for (;;) {
        const Input got = readLine(query);
        if (got == Input::Stopped) return systemTerminal().stopRequest();
        if (got == Input::End) return kExitFound;
        const std::size_t tab = query.find('\t');
        window.beginQuery();
        // No name or path holds a NUL: one cut there would search and show something else.
        if (query.find('\0') != std::string::npos)
            window.refuse("a query may not hold a NUL character; it was not searched");
        else if (tab == std::string::npos)
            runSearch(search, options, query, roots);
        else
            runSearch(search, options, query.substr(0, tab), query.substr(tab + 1));
        if (settle) search.listingStore()->settle();
        // An empty record can never be a result: it ends the answer.
        window.printLine("", options.lineEnd);
        if (!window.finish()) return kExitWriteError;
        if (window.stopStatus() != 0) return window.stopStatus();
    }
}

// Step 3: the window's search (or its drive selector) on the terminal.
int run(const Options& options) {
    const std::unique_ptr<Platform> platform = makePlatform();
    ConsoleWindow window(systemTerminal(), {errIsTerminal(), outIsTerminal(), options.lineEnd});
    SearchCore search(window, *platform);
    if (options.threads) search.setWorkerThreads(*options.threads);
    window.attach(search);
    search.init();

    if (options.action == Action::Drives) {
        const std::ptrdiff_t selected = window.comboSelectedIndex();
        for (std::size_t i = 0; i < window.comboCount(); ++i) {
            const char* mark = static_cast<std::ptrdiff_t>(i) == selected ? "* " : "  ";
            window.printLine(mark + window.comboEntry(i), '\n');
        }
        return window.finish() ? kExitFound : kExitWriteError;
    }

    if (options.action == Action::Queries) return answerQueries(options, window, search);

    const std::vector<std::string>& operands = options.operands;
    std::optional<std::string> roots;
    if (operands.size() >= 2) roots = operands[1];
    runSearch(search, options, operands.empty() ? "*.*" : operands[0], roots);
    window.finish();

    if (window.patternRefused()) return kExitUsage;
    if (window.stopStatus() != 0) return window.stopStatus();
    // A listing cut short is no answer a script may take for the whole one.
    if (window.outOfMemory()) return kExitOutOfMemory;
    return search.state().FoundCount > 0 ? kExitFound : kExitNoneFound;
}

}  // namespace

int main(int argc, char** argv) {
    prepare();
    std::string problem;
    const std::optional<Options> options = parseArguments(arguments(argc, argv), problem);
    if (!options) {
        systemTerminal().writeErr("quarvex-find: " + problem + "\n" + kUsage);
        return kExitUsage;
    }
    if (options->action == Action::Help) return answer(kUsage);
    if (options->action == Action::Version) return answer(kVersion);
    return run(*options);
}
