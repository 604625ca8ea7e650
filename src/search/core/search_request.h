// What one search is asked: made once when Start is pressed (or for each line of
// quarvex-find --queries) and never changed after. Nothing below the front end's handler reads a
// window's control: the search runs from this alone.
#pragma once

#include <string>
#include <vector>

namespace quarvex {

struct SearchRequest {
    // As the file-name box shows it after Start: trimmed, and "*.*" appended when it holds no dot.
    std::string pattern;
    // The folders to walk, in order, each ending in the separator.
    std::vector<std::string> roots;
    // Walk threads at most (0 or 1: a plain single-threaded walk), and how many start (0: one
    // per core); more start while folders are slow to read.
    unsigned threads = 0;
    unsigned startThreads = 0;
    // Folders that could not be read (or not to their end) are told to the window, with why.
    bool tellUnreadable = false;
};

}  // namespace quarvex
