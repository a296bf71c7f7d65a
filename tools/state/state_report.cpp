#include "tools/state/state_report.h"

#include "tools/common/json.h"
#include "tools/state/json_check.h"

namespace state {
namespace {

// Enough of the tool's complaint to tell what went wrong, not a flood.
constexpr size_t kMaxErrorText = 2000;

std::string describeFailure(const ShowRun& show, bool reportUsable)
{
    std::string why;
    if (!show.started)
        why = "instrument show could not be run";
    else if (show.timedOut)
        why = "instrument show took too long and was stopped";
    else if (show.status != 0)
        why = "instrument show ended with status " + std::to_string(show.status);
    else if (!reportUsable)
        why = "instrument show printed no JSON object";
    if (why.empty())
        return why;
    std::string err = show.err.substr(0, kMaxErrorText);
    while (!err.empty() && (err.back() == '\n' || err.back() == '\r'))
        err.pop_back();
    if (!err.empty())
        why += ": " + err;
    return why;
}

}  // namespace

std::string stateBody(const std::string& root, const ShowRun& show,
                      const std::vector<std::string>& peersLog)
{
    bool usable = show.started && !show.timedOut && isJsonObject(show.out);
    std::string why = describeFailure(show, usable);

    std::string body = "{\"root\":" + tool::jsonEscape(root) + ",\"show\":";
    if (usable) {
        // Already checked to be one object: copy it without the whitespace around it.
        size_t begin = show.out.find_first_not_of(" \t\r\n");
        size_t end = show.out.find_last_not_of(" \t\r\n");
        body.append(show.out, begin, end + 1 - begin);
    } else {
        body += "null";
    }
    body += ",\"showError\":" + (why.empty() ? std::string("null") : tool::jsonEscape(why));
    body += ",\"peersLog\":[";
    for (size_t i = 0; i < peersLog.size(); ++i)
        body += (i ? "," : "") + tool::jsonEscape(peersLog[i]);
    body += "]}";
    return body;
}

}  // namespace state
