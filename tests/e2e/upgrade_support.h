// A simulated instrument for the end-to-end tests of upgrade.cgi: a root made
// by `instrument init`, the peers served by `instrument peers`, and uploads
// posted to the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/image_bytes.h"
#include "tests/support/peers_process.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_server.h"

namespace quibtest {

// Runs the instrument tool with these arguments.
ProcessResult instrument(std::vector<std::string> args);
// Overwrites bytes of the file at hostPath (a chip image) from offset on.
void writeAt(const std::string& hostPath, uint32_t offset, const std::string& bytes);

struct InitArgs {
    int board = 1;
    const char* flash = "0x93";
    int loaderGeneration = 4;  // 0: loader region left erased
};

class Instrument : public TempRoot {
public:
    explicit Instrument(InitArgs args = {});
    // (Re)starts the peers with these options; they stop with the instrument.
    void servePeers(const std::vector<std::string>& options = {});
    // Lines of var/log/peers.jsonl.
    std::vector<std::string> peerLog() const;
    // Temporary or scratch files left below tmp/ (the lock file aside) and
    // interrupted copies in the NAND and GPS directories.
    std::vector<std::string> leftovers() const;
    // `instrument show ROOT --json`.
    std::string showJson() const;
    std::string chip() const { return read("/flash/nor.img"); }
    // lighttpd serving upgrade.cgi at /cgi-bin/upgrade.cgi for this root.
    const WebServer& server() const { return *server_; }

private:
    std::unique_ptr<PeersProcess> peers_;
    std::unique_ptr<WebServer> server_;
};

struct Reply {
    int status = -1;       // HTTP status; -1 when no response came
    std::string page;      // response body
    std::string headers;   // response header lines (no status line)
    // The Refresh target: what follows "0;" in the meta element, "" if none.
    std::string refresh() const;
};

struct Upload {
    std::string fileName;  // sent as the part's filename
    std::string content;
    std::string field = "Filedata";
};

// Posts the upload the way a browser does: `curl -F` through the web server.
// headers: extra request header lines ("Origin: ...").
Reply post(const Instrument& inst, const std::string& query, const Upload& up,
           const std::vector<std::string>& headers = {});

}  // namespace quibtest
