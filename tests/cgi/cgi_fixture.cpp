// The in-process CGI fixture and the multipart body builders.
#include "tests/cgi/cgi_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace cgitest {

std::string multipartBody(const std::string& boundary, const std::vector<Part>& parts)
{
    std::string body;
    for (const Part& p : parts)
        body += "--" + boundary + "\r\n" + p.headers + "\r\n" + p.data + "\r\n";
    return body + "--" + boundary + "--\r\n";
}

std::string field(const std::string& name)
{
    return "Content-Disposition: form-data; name=\"" + name + "\"\r\n";
}

std::string fileField(const std::string& name, const std::string& fileName, const std::string& type)
{
    return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"\r\n" +
           (type.empty() ? "" : "Content-Type: " + type + "\r\n");
}

std::vector<std::string> strings(char** array)
{
    std::vector<std::string> out;
    for (char** p = array; p && *p; ++p)
        out.push_back(*p);
    return out;
}

void CgiTest::TearDown()
{
    cgiFreeResources();
    if (body_ != nullptr)
        std::fclose(body_);
    cgiIn = nullptr;
    EXPECT_EQ(tmpFileCount(), 0u) << "temporary files left behind";
}

void CgiTest::prepare(const Vars& vars, const std::string& body, size_t bufferSize)
{
    for (const char* name :
         {"SERVER_SOFTWARE", "SERVER_NAME", "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT",
          "REQUEST_METHOD", "PATH_INFO", "PATH_TRANSLATED", "SCRIPT_NAME", "QUERY_STRING", "REMOTE_HOST",
          "REMOTE_ADDR", "AUTH_TYPE", "REMOTE_USER", "REMOTE_IDENT", "CONTENT_TYPE", "CONTENT_LENGTH",
          "HTTP_ACCEPT", "HTTP_USER_AGENT", "HTTP_REFERER", "HTTP_COOKIE"})
        unsetenv(name);
    for (const auto& [k, v] : vars)
        setenv(k.c_str(), v.c_str(), 1);
    if (body_ != nullptr)
        std::fclose(body_);
    body_ = std::tmpfile();
    ASSERT_NE(body_, nullptr);
    if (bufferSize > 0) {
        bodyBuffer_.assign(bufferSize, 0);
        setvbuf(body_, bodyBuffer_.data(), _IOFBF, bufferSize);
    }
    std::fwrite(body.data(), 1, body.size(), body_);
    std::fflush(body_);
    std::rewind(body_);
    cgiIn = body_;
}

std::vector<Entry> CgiTest::entries() const
{
    std::vector<Entry> list;
    for (cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        Entry x{e->attr, "", e->fileName, e->contentType, e->valueLength, e->tfileName[0] != '\0'};
        if (!x.isFile) {
            x.value.assign(e->value, static_cast<size_t>(e->valueLength));
        } else {
            EXPECT_STREQ(e->value, "") << "a file's value is in its file only";
            std::ifstream in(e->tfileName, std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            x.value = s.str();
        }
        list.push_back(x);
    }
    return list;
}

}  // namespace cgitest
