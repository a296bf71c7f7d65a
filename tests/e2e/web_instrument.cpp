#include "tests/e2e/web_instrument.h"

#include <gtest/gtest.h>

namespace quibtest {

ProcessResult instrument(std::vector<std::string> args)
{
    args.insert(args.begin(), binPath("instrument"));
    return runProcess(args);
}

WebInstrument::WebInstrument(int board)
{
    const auto init = instrument({"init", path(), "--board", std::to_string(board), "--loader-generation", "4"});
    EXPECT_EQ(init.status, 0) << init.err;
}

std::string Reply::refresh() const
{
    const std::string open = "<meta http-equiv=\"Refresh\" content=\"0;";
    const size_t b = page.find(open), e = page.find("\" />", b);
    return b == std::string::npos || e == std::string::npos ? ""
                                                            : page.substr(b + open.size(), e - b - open.size());
}

Reply post(const WebInstrument& inst, const std::string& fileName, const std::string& content,
           const std::vector<std::string>& headers)
{
    const std::string copy = "/client/" + fileName;  // the browser's copy, in no directory the instrument uses
    inst.write(copy, content);
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "-i", "--http1.1", "-H", "Expect:",
                                     "-F", "Filedata=@" + inst.host(copy) + ";filename=" + fileName};
    for (const auto& h : headers)
        argv.insert(argv.end(), {"-H", h});
    argv.push_back(inst.server.url("/cgi-bin/upgrade.cgi"));
    const ProcessResult r = runProcess(argv);
    const size_t end = r.out.find("\r\n\r\n");
    if (r.status != 0 || end == std::string::npos)
        return {};
    return {r.out.substr(0, end + 2), r.out.substr(end + 4)};
}

}  // namespace quibtest
