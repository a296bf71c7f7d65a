// A simulated instrument: a root by `instrument init`, lighttpd with upgrade.cgi, FakePeer names, curl uploads.
#pragma once

#include <string>
#include <vector>

#include "tests/support/fake_peer.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_server.h"

namespace quibtest {

ProcessResult instrument(std::vector<std::string> args);  // the instrument tool with these arguments

class WebInstrument : public TempRoot {
public:
    // Board 1 has NOR image regions, board 2 the NAND drive; the chip is a 0x93 with a generation 4 loader.
    explicit WebInstrument(int board = 1);
    std::string chip() const { return read("/flash/nor.img"); }

    WebServer server;
    FakePeer loader {path(), "loader", PeerAnswer::reply(4, std::string(4, '\0'))};  // result word 0
    FakePeer firmware {path(), "firmware"};
};

struct Reply {
    std::string headers;  // the status line and header lines; "" when no answer came
    std::string page;
    std::string refresh() const;  // the Refresh target, what follows "0;" in the meta element; "" if none
};

// Posts content to upgrade.cgi as the form field Filedata named fileName, the way a browser does;
// headers: extra request header lines.
Reply post(const WebInstrument& inst, const std::string& fileName, const std::string& content,
           const std::vector<std::string>& headers = {});

}  // namespace quibtest
