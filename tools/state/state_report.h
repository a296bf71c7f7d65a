// The body that state.cgi answers: the instrument's own report and the tail of
// the peers' log, put together so that the result is always one JSON object.
#pragma once

#include <string>
#include <vector>

namespace state {

// What one run of `instrument show ROOT --json` gave.
struct ShowRun {
    bool started = false;   // the program could be run at all
    bool timedOut = false;  // it was stopped for taking too long
    int status = -1;        // exit status, 128 + signal after a signal
    std::string out;        // standard output
    std::string err;        // standard error
};

// The upgrade handler's progress file ("key=value" lines: phase, done, total,
// started, time, then file, percent-encoded, to the end) as a JSON object with
// those members (the file name decoded), or
// "null" when the text is not one whole record.
std::string progressJson(const std::string& text);
// progressJson of the file at path, reading at most maxBytes; "null" when it
// is missing or not a regular file (a FIFO there must not hang the poll).
std::string progressFileJson(const std::string& path, size_t maxBytes);

// {"root":..., "show":<the report, or null when it is not one JSON object>,
//  "showError":<why the report is missing or incomplete, or null>,
//  "peersLog":[<the last log lines, each as a string>],
//  "progress":<progressJson of the progress file>}
std::string stateBody(const std::string& root, const ShowRun& show,
                      const std::vector<std::string>& peersLog, const std::string& progress);

}  // namespace state
