// Drives the CGI layer in-process: a prepared environment, a body on cgiIn,
// and a look at the entry list it built. Every test gets its own instrument
// root and ends by checking that no temporary file is left in it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cgi/cgi_internal.h"
#include "tests/support/temp_root.h"

namespace cgitest {

struct Entry {
    std::string attr;
    std::string value;  // valueLength bytes, NULs included
    int valueLength = 0;
    std::string fileName;
    std::string contentType;
    std::string tfileName;
    std::string fileData;  // the spooled file's content, for file entries
};

// "--B\r\n" headers "\r\n\r\n" data ... "--B--\r\n" built from parts.
struct Part {
    std::string headers;  // header lines, each ending in "\r\n"
    std::string data;
};
std::string multipartBody(const std::string& boundary, const std::vector<Part>& parts);
std::string field(const std::string& name);  // header for a plain field
std::string fileField(const std::string& name, const std::string& fileName,
                      const std::string& type = "");
// The strings of a NULL-terminated array such as cgiFormEntries gives.
std::vector<std::string> strings(char** array);

class CgiTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Sets exactly the given CGI variables (the others are removed), puts
    // body on cgiIn and captures. bufferSize > 0 gives cgiIn a tiny stdio
    // buffer, so that every delimiter straddles two reads of the stream.
    cgiParseResultType capture(const std::map<std::string, std::string>& vars,
                               const std::string& body = {}, size_t bufferSize = 0);
    // A POST of a multipart body with boundary B; length < 0 declares the body's size.
    cgiParseResultType postMultipart(const std::string& body, long length = -1,
                                     const std::string& contentType =
                                         "multipart/form-data; boundary=B",
                                     size_t bufferSize = 0);
    std::vector<Entry> entries() const;
    size_t tmpFileCount() const { return root.list("/tmp").size(); }

    quibtest::TempRoot root;
    FILE* body_ = nullptr;
    std::vector<char> bodyBuffer_;
};

}  // namespace cgitest
