// Drives the CGI layer in-process: a prepared environment, a body on cgiIn,
// the entry list it built; every test ends checking that no temporary file is left.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cgi/cgi_internal.h"
#include "tests/support/temp_root.h"

namespace cgitest {

struct Entry {
    std::string attr, value, fileName, contentType;  // value: valueLength bytes, or a file's content
    int valueLength = 0;
    bool isFile = false;
    bool operator==(const Entry&) const = default;
};

inline Entry value(const std::string& attr, const std::string& v)
{
    return {attr, v, "", "", static_cast<int>(v.size()), false};
}
inline Entry upload(const std::string& attr, const std::string& content, const std::string& fileName,
                    const std::string& type = "")
{
    return {attr, content, fileName, type, static_cast<int>(content.size()), true};
}

struct Part {
    std::string headers;  // header lines, each ending in "\r\n"
    std::string data;
};
std::string multipartBody(const std::string& boundary, const std::vector<Part>& parts);
std::string field(const std::string& name);
std::string fileField(const std::string& name, const std::string& fileName, const std::string& type = "");
std::vector<std::string> strings(char** array);  // a NULL-terminated array's strings
using Vars = std::map<std::string, std::string>;

class CgiTest : public ::testing::Test {
protected:
    void TearDown() override;
    // Sets exactly these CGI variables and puts body on cgiIn; bufferSize > 0
    // gives cgiIn a tiny stdio buffer, so that delimiters straddle its reads.
    void prepare(const Vars& vars, const std::string& body = {}, size_t bufferSize = 0);
    cgiParseResultType capture(const Vars& vars, const std::string& body = {}, size_t bufferSize = 0)
    {
        prepare(vars, body, bufferSize);
        return cgiCaptureAndParse();
    }
    // A POST of body; length "" declares its size.
    cgiParseResultType post(const std::string& body, std::string length = "",
                            const std::string& type = "multipart/form-data; boundary=B",
                            size_t bufferSize = 0)
    {
        return capture({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type},
                        {"CONTENT_LENGTH", length.empty() ? std::to_string(body.size()) : length}},
                       body, bufferSize);
    }
    std::vector<Entry> entries() const;
    size_t tmpFileCount() const { return root.list("/tmp").size(); }

    quibtest::TempRoot root;
    FILE* body_ = nullptr;
    std::vector<char> bodyBuffer_;
};

}  // namespace cgitest
