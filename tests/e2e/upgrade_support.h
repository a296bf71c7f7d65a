// A simulated instrument for the end-to-end tests of upgrade.cgi: a root made
// by `instrument init`, the peers served by `instrument peers`, and uploads
// posted to the program.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/temp_root.h"

namespace quibtest {

// `instrument peers ROOT options...` running until destroyed (SIGTERM).
class PeersProcess {
public:
    PeersProcess(const std::string& root, const std::vector<std::string>& options);
    ~PeersProcess();
    PeersProcess(const PeersProcess&) = delete;
    PeersProcess& operator=(const PeersProcess&) = delete;
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

struct InitArgs {
    int board = 1;
    const char* flash = "0x93";
    int loaderGeneration = 4;  // 0: loader region left erased
};

class Instrument : public TempRoot {
public:
    explicit Instrument(InitArgs args = {});
    ~Instrument();
    // (Re)starts the peers with these options; stops them with an empty optional.
    void servePeers(const std::vector<std::string>& options = {});
    void stopPeers();
    // Lines of var/log/peers.jsonl.
    std::vector<std::string> peerLog() const;
    // Temporary or scratch files left below tmp/ (the lock file aside) and
    // interrupted copies in the NAND and GPS directories.
    std::vector<std::string> leftovers() const;
    // `instrument show ROOT --json`.
    std::string showJson() const;
    std::string chip() const { return read("/flash/nor.img"); }

private:
    PeersProcess* peers_ = nullptr;
};

struct Reply {
    int status = -1;       // exit status of the program (direct run) or HTTP status
    std::string page;      // response body
    std::string headers;   // response header lines
    std::string err;       // the program's standard error (direct run only)
    // The Refresh target: what follows "0;" in the meta element, "" if none.
    std::string refresh() const;
};

struct Upload {
    std::string fileName;  // sent as the part's filename
    std::string content;
    std::string field = "Filedata";
};

// Posts the upload as multipart/form-data to upgrade.cgi run directly as a
// CGI program below the instrument's root.
Reply postDirect(const Instrument& inst, const std::string& query, const Upload& up);
// Posts the upload the way a browser does: through the web server.
Reply post(const Instrument& inst, const std::string& query, const Upload& up);

// Bytes that differ from one position to the next, so a misplaced copy shows.
std::string pattern(size_t n, unsigned seed = 7);
uint32_t byteSum(const std::string& s);
std::string be32(uint32_t v);

}  // namespace quibtest
