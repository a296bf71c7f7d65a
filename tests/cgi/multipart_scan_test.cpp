// The block scanner against the byte-at-a-time scan: same delimiters, same
// bytes, whatever the boundary and however the body is cut into reads.
#include <random>
#include <regex>

#include "tests/cgi/cgi_fixture.h"

using cgitest::CgiTest;

namespace {

const std::string cd = "Content-Disposition: form-data; name=";
const int readSizes[] = {1, 7, 1023, 65536};

// Restores the block size when a test ends, however it ends.
struct ReadSize {
    explicit ReadSize(int n) { cgiMpReadSize = n; }
    ~ReadSize() { cgiMpReadSize = cgiMpBlockSize; }
};

struct Got {
    std::string attr, fileName, data;
    bool operator==(const Got&) const = default;
};

std::vector<Got> got(const std::vector<cgitest::Entry>& entries)
{
    std::vector<Got> out;
    for (const auto& e : entries)
        out.push_back({e.attr, e.fileName, e.tfileName.empty() ? e.value : e.fileData});
    return out;
}

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
    cgiParseResultType parse(const std::string& boundary, std::vector<Got>& entries)
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
            Got e;
            std::string text;
            while (line(text) && std::regex_match(text, m, disposition)) {
                isForm = true;
                e = {m[1], m[3], ""};
            }
            if (!isForm) {
                if (!scan(w, nullptr) || !afterDelimiter())
                    return cgiParseSuccess;
                continue;
            }
            if (!scan(w, &e.data) || !afterDelimiter()) {
                entries.clear();  // a failed parse keeps nothing
                return cgiParseIO;
            }
            entries.push_back(e);
        }
    }
};

}  // namespace

TEST_F(CgiTest, MultipartScanKeepsTheBodyInItsOwnOrder)
{
    struct Case {
        const char* label;
        std::string boundary;
        std::string body;
        std::vector<Got> want;
    };
    const std::string part = cd + "a\r\n\r\n";
    const std::string nearMisses = "\r\n--\r\n---\r\n----\r\n---\r\n-----\r\n--x\r\n-";
    const Case cases[] = {
        {"opening delimiter right after a failed match of its own start", "AaB03x",
         "--AaB0--AaB03x\r\n" + part + "v\r\n--AaB03x--\r\n", {{"a", "", "v"}}},
        {"a failed match is not completed by later bytes", "a-b",
         "--a---b\r\n--a-b\r\n" + part + "v\r\n--a-b--\r\n", {{"a", "", "v"}}},
        {"partial matches nested in partial matches", "---x",
         "-----x\r\n" + part + nearMisses + "\r\n-----x--\r\n", {{"a", "", nearMisses}}},
        {"delimiter begins at the byte that failed a match", "-x",
         "---x\r\n" + part + "1\r\n--\r\n---x\r\n" + part + "2\r\n---x--",
         {{"a", "", "1\r\n--"}, {"a", "", "2"}}},
        {"a long boundary matched up to its last byte", std::string(200, '-'),
         std::string(201, '-') + "\r\n" + std::string(202, '-') + "\r\n" + part +
             std::string(201, '-') + "\r\n" + std::string(202, '-') + "--",
         {{"a", "", std::string(201, '-')}}},
    };
    for (const Case& c : cases) {
        std::vector<int> sizes(readSizes, readSizes + 4);
        for (int n = 2; n <= static_cast<int>(c.boundary.size()) + 6; ++n)
            sizes.push_back(n);  // the delimiter straddles every possible read
        for (int n : sizes) {
            ReadSize rs(n);
            ASSERT_EQ(postMultipart(c.body, -1, "multipart/form-data; boundary=" + c.boundary),
                      cgiParseSuccess)
                << c.label << " reads of " << n;
            EXPECT_EQ(got(entries()), c.want) << c.label << " reads of " << n;
            cgiFreeResources();
        }
    }
}

// Random bodies from the boundary's own bytes, CR, LF and hyphens, with real
// delimiters and parts among them, parsed at every read size and compared with
// the oracle: result, entries, values and file bytes.
TEST_F(CgiTest, MultipartScanAgreesWithTheByteScan)
{
    std::mt19937 rng(12);
    const std::string boundaries[] = {"AaB03x", "a-b", "-", "--x", "zz", std::string(70, '-')};
    for (const std::string& b : boundaries) {
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
                body += cd + "\"" + name + "\"" +
                        (rng() % 2 ? "; filename=\"" + name + ".bin\"" : "") + "\r\n\r\n" +
                        noise(90) + "\r\n--" + b + (p + 1 < parts ? "\r\n" : "--\r\n");
            }
            body += noise(5);
            if (rng() % 4 == 0)
                body.resize(rng() % body.size());
            Oracle oracle{body};
            std::vector<Got> want;
            const cgiParseResultType result = oracle.parse(b, want);
            for (int n : readSizes) {
                ReadSize rs(n);
                ASSERT_EQ(postMultipart(body, -1, "multipart/form-data; boundary=" + b), result)
                    << b << " round " << round << " reads of " << n;
                ASSERT_EQ(got(entries()), want) << b << " round " << round << " reads of " << n;
                cgiFreeResources();
            }
        }
    }
}
