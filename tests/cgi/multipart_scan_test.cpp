// The block scanner against the byte-at-a-time scan: same delimiters, same
// bytes, whatever the boundary and however the body is cut into reads.
#include <random>
#include <regex>

#include "tests/cgi/cgi_fixture.h"

using namespace cgitest;

namespace {

const std::string cd = "Content-Disposition: form-data; name=";
const int readSizes[] = {1, 7, 1023, 65536};

// Restores the block size when a test ends, however it ends.
struct ReadSize {
    explicit ReadSize(int n) { cgiMpReadSize = n; }
    ~ReadSize() { cgiMpReadSize = cgiMpBlockSize; }
};

// The parse done the slow, obvious way: one byte at a time, a failed partial
// match giving its bytes back to be read again in their own order (a rewind).
struct Oracle {
    std::string s;
    size_t pos = 0;

    bool scan(const std::string& w, std::string* out)
    {
        size_t m = 0;
        while (pos < s.size()) {
            char d = s[pos++];
            if (d == w[m]) {
                if (++m == w.size())
                    return true;
            } else if (m > 0) {
                if (out)
                    *out += w[0];
                pos -= m;
                m = 0;
            } else if (out) {
                *out += d;
            }
        }
        return false;
    }
    // The two bytes after a delimiter; a pair beginning with '-' stays.
    bool afterDelimiter()
    {
        if (s.size() - pos < 2)
            return false;
        if (s[pos] != '-')
            pos += 2;
        return true;
    }
    // One header line; false when the input ends before the line does (a
    // CR is the end only with a byte after it).
    bool line(std::string& text)
    {
        size_t e = s.find_first_of("\r\n", pos);
        if (e == std::string::npos || (s[e] == '\r' && e + 1 == s.size())) {
            pos = s.size();
            return false;
        }
        text = s.substr(pos, e - pos);
        pos = e + 1;
        if (s[e] == '\r' && s[pos] == '\n')
            ++pos;
        return true;
    }
    // Bodies are built from bytes without ':', so the only header lines that
    // count are the dispositions the generator wrote.
    cgiParseResultType parse(const std::string& boundary, std::vector<Entry>& entries)
    {
        static const std::regex disposition(
            R"re(Content-Disposition: form-data; name="([^"]*)"(; filename="([^"]*)")?)re");
        const std::string w = "\r\n--" + boundary;
        if (!scan(w.substr(2), nullptr) || !afterDelimiter())
            return cgiParseSuccess;
        for (;;) {
            if (s.size() - pos < 2 || s.compare(pos, 2, "--") == 0)
                return cgiParseSuccess;
            std::smatch m;
            bool isForm = false;
            std::string name, fileName, data;
            std::string text;
            while (line(text) && std::regex_match(text, m, disposition)) {
                isForm = true;
                name = m[1];
                fileName = m[3];
            }
            if (!isForm) {
                if (!scan(w, nullptr) || !afterDelimiter())
                    return cgiParseSuccess;
                continue;
            }
            if (!scan(w, &data) || !afterDelimiter()) {
                entries.clear();  // a failed parse keeps nothing
                return cgiParseIO;
            }
            entries.push_back(fileName.empty() ? value(name, data) : upload(name, data, fileName));
        }
    }
};

}  // namespace

// Bodies from the boundary's own bytes, CR, LF and hyphens, with real
// delimiters and parts among them (some hand-made, most random), parsed at
// many read sizes and compared with the oracle: result, entries, values, file bytes.
TEST_F(CgiTest, MultipartScanAgreesWithTheByteScan)
{
    const std::string part = cd + "\"a\"\r\n\r\n";
    const std::string nearMisses = "\r\n--\r\n---\r\n----\r\n---\r\n-----\r\n--x\r\n-";
    const std::string dashes200(200, '-');
    std::vector<std::pair<std::string, std::string>> bodies = {  // boundary, body
        {"AaB03x", "--AaB0--AaB03x\r\n" + part + "v\r\n--AaB03x--\r\n"},
        {"a-b", "--a---b\r\n--a-b\r\n" + part + "v\r\n--a-b--\r\n"},
        {"---x", "-----x\r\n" + part + nearMisses + "\r\n-----x--\r\n"},
        {"-x", "---x\r\n" + part + "1\r\n--\r\n---x\r\n" + part + "2\r\n---x--"},
        {"-x", "----x\r\n" + part + "v\r\n---x--\r\n"},
        {dashes200, "-" + dashes200 + "\r\n--" + dashes200 + "\r\n" + part + "-" + dashes200 + "\r\n--" +
                        dashes200 + "--"},
    };
    const size_t handMade = bodies.size();
    std::mt19937 rng(12);
    for (const std::string& b : {std::string("AaB03x"), std::string("a-b"), std::string("-"), std::string("--x"),
                                 std::string("zz"), std::string(70, '-')}) {
        const std::string alphabet = b + "\r\n-";
        auto noise = [&](int most) {
            std::string s(rng() % (most + 1), ' ');
            for (char& ch : s)
                ch = alphabet[rng() % alphabet.size()];
            return s;
        };
        for (int round = 0; round < 60; ++round) {
            std::string body = noise(12) + "--" + b + "\r\n";
            for (int p = 0, parts = 1 + rng() % 4; p < parts; ++p) {
                std::string name = "f" + std::to_string(p);
                body += cd + "\"" + name + "\"" + (rng() % 2 ? "; filename=\"" + name + ".bin\"" : "") +
                        "\r\n\r\n" + noise(90) + "\r\n--" + b + (p + 1 < parts ? "\r\n" : "--\r\n");
            }
            body += noise(5);
            if (rng() % 4 == 0)
                body.resize(rng() % body.size());
            bodies.emplace_back(b, body);
        }
    }
    for (size_t i = 0; i < bodies.size(); ++i) {
        const auto& [b, body] = bodies[i];
        Oracle oracle{body};
        std::vector<Entry> want;
        const cgiParseResultType result = oracle.parse(b, want);
        std::vector<int> sizes(readSizes, readSizes + 4);
        for (int n = 2; i < handMade && n <= static_cast<int>(b.size()) + 6; ++n)
            sizes.push_back(n);  // the delimiter straddles every possible read
        for (int n : sizes) {
            ReadSize rs(n);
            // Every other body announces more than it holds: the end of input cuts it all the same.
            ASSERT_EQ(post(body, std::to_string(body.size() + i % 2 * 50), "multipart/form-data; boundary=" + b),
                      result)
                << "body " << i << " reads of " << n;
            ASSERT_EQ(entries(), want) << "body " << i << " reads of " << n;
            cgiFreeResources();
        }
    }
}
