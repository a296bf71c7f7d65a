#include "tools/state/state_report.h"

#include <cstdlib>

#include "tools/common/json.h"
#include "tools/common/regular_file.h"
#include "tools/state/json_check.h"
#include "upgrade/progress.h"

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

// The decimal number of a whole line's value; false when it is none.
bool number(const std::string& s, long long& out)
{
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::strtoll(s.c_str(), nullptr, 10);
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The name as the handler writes it, every byte but the unreserved ones as
// %XX; an escape that is not whole stays as it stands.
std::string percentDecoded(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const int hi = s[i] == '%' && i + 2 < s.size() ? hexDigit(s[i + 1]) : -1;
        const int lo = hi >= 0 ? hexDigit(s[i + 2]) : -1;
        if (lo < 0) {
            out += s[i];
            continue;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

}  // namespace

std::string progressJson(const std::string& text)
{
    static const char* const numbers[] = {"done", "total", "started", "time"};
    // The file name comes last and runs to the end.
    const size_t fileAt = text.find("\nfile=");
    if (fileAt == std::string::npos || text.back() != '\n')
        return "null";
    tool::Json j = tool::Json::object();
    const std::string head = text.substr(0, fileAt + 1);
    const std::string phase = head.substr(0, head.find('\n'));
    bool known = false;
    for (const char* p : UPG_PHASE_NAMES)
        known = known || phase == std::string("phase=") + p;
    if (!known)
        return "null";
    j["phase"] = phase.substr(6);
    size_t at = phase.size() + 1;
    for (const char* key : numbers) {
        const size_t end = head.find('\n', at);
        const std::string line = end == std::string::npos ? "" : head.substr(at, end - at);
        const std::string prefix = std::string(key) + "=";
        long long v = 0;
        if (line.rfind(prefix, 0) != 0 || !number(line.substr(prefix.size()), v))
            return "null";
        j[key] = v;
        at = end + 1;
    }
    if (at != head.size())
        return "null";
    j["file"] = percentDecoded(text.substr(fileAt + 6, text.size() - fileAt - 7));
    return tool::dumpJson(j);
}

std::string progressFileJson(const std::string& path, size_t maxBytes)
{
    std::string text;
    return tool::readRegular(path, maxBytes, text) ? progressJson(text) : "null";
}

std::string stateBody(const std::string& root, const ShowRun& show,
                      const std::vector<std::string>& peersLog, const std::string& progress)
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
    body += "],\"progress\":" + progress + "}";
    return body;
}

}  // namespace state
