// Drives the CGI layer in-process: a prepared environment, a body on cgiIn,
// the entry list it built; every test ends checking that no temporary file is left.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
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
inline Entry value(const std::string& attr, const std::string& v) { return {attr, v, "", "", int(v.size()), false}; }
inline Entry upload(const std::string& attr, const std::string& data, const std::string& name, const std::string& type = "")
{
    return {attr, data, name, type, int(data.size()), true};
}

// A multipart body of parts, each its header lines (ending in CRLF) and its data.
using Part = std::pair<std::string, std::string>;
inline std::string multipartBody(const std::string& boundary, const std::vector<Part>& parts)
{
    std::string body;
    for (const auto& [headers, data] : parts)
        body += "--" + boundary + "\r\n" + headers + "\r\n" + data + "\r\n";
    return body + "--" + boundary + "--\r\n";
}
inline std::string field(const std::string& name, const std::string& fileName = "", const std::string& type = "")
{
    return "Content-Disposition: form-data; name=\"" + name + "\"" +
           (fileName.empty() ? "" : "; filename=\"" + fileName + "\"") + "\r\n" +
           (type.empty() ? "" : "Content-Type: " + type + "\r\n");
}
inline std::vector<std::string> strings(char** array)  // a NULL-terminated array's strings
{
    std::vector<std::string> out;
    for (; array && *array; ++array)
        out.push_back(*array);
    return out;
}

class CgiTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        cgiFreeResources();
        EXPECT_EQ(tmpFileCount(), 0u) << "temporary files left behind";
    }
    // Sets exactly these CGI variables and puts body on cgiIn.
    void prepare(const std::map<std::string, std::string>& vars, const std::string& body = {})
    {
        for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH", "HTTP_COOKIE"})
            unsetenv(name);
        for (const auto& [k, v] : vars)
            setenv(k.c_str(), v.c_str(), 1);
        body_.reset(std::tmpfile());
        ASSERT_NE(cgiIn = body_.get(), nullptr);
        std::fwrite(body.data(), 1, body.size(), cgiIn);
        std::rewind(cgiIn);
    }
    cgiParseResultType capture(const std::map<std::string, std::string>& vars, const std::string& body = {})
    {
        prepare(vars, body);
        return cgiCaptureAndParse();
    }
    // A POST of body; length "" declares its size.
    cgiParseResultType post(const std::string& body, const std::string& length = "",
                            const std::string& type = "multipart/form-data; boundary=B")
    {
        return capture({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type},
                        {"CONTENT_LENGTH", length.empty() ? std::to_string(body.size()) : length}},
                       body);
    }
    std::vector<Entry> entries() const
    {
        std::vector<Entry> list;
        for (cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next) {
            const bool isFile = e->tfileName[0] != '\0';  // a file's value is in its file only
            std::ostringstream file;
            if (isFile)
                file << e->value << std::ifstream(e->tfileName, std::ios::binary).rdbuf();
            list.push_back({e->attr, isFile ? file.str() : std::string(e->value, size_t(e->valueLength)),
                            e->fileName, e->contentType, e->valueLength, isFile});
        }
        return list;
    }
    size_t tmpFileCount() const { return root.list("/tmp").size(); }

    quibtest::TempRoot root;
    std::unique_ptr<FILE, int (*)(FILE*)> body_{nullptr, std::fclose};
};

}  // namespace cgitest
