// A fresh instrument root in a temporary directory, removed at the end; INSTRUMENT_ROOT names it while it lives.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quibtest {

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }
    // Host path of an instrument path ("/tmp/info" -> "<root>/tmp/info").
    std::string host(const std::string& instrumentPath) const;
    // Creates the parent directories of an instrument path, then the file.
    void write(const std::string& instrumentPath, const std::string& content) const;
    std::string read(const std::string& instrumentPath) const;
    bool exists(const std::string& instrumentPath) const;
    // Names of the regular files directly inside an instrument directory, sorted.
    std::vector<std::string> list(const std::string& instrumentDir) const;

private:
    std::string path_;
    std::optional<std::string> previous_;
};

}  // namespace quibtest
