#include "tests/support/temp_root.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace quibtest {

TempRoot::TempRoot()
{
    path_ = (fs::temp_directory_path() / "quibroot-XXXXXX").string();
    if (mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    fs::create_directories(path_ + "/tmp");
    if (const char* previous = std::getenv("INSTRUMENT_ROOT"))
        previous_ = previous;
    setenv("INSTRUMENT_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot()
{
    previous_ ? setenv("INSTRUMENT_ROOT", previous_->c_str(), 1) : unsetenv("INSTRUMENT_ROOT");
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempRoot::host(const std::string& instrumentPath) const
{
    return path_ + (instrumentPath.starts_with('/') ? "" : "/") + instrumentPath;
}

void TempRoot::write(const std::string& instrumentPath, const std::string& content) const
{
    fs::create_directories(fs::path(host(instrumentPath)).parent_path());
    std::ofstream(host(instrumentPath), std::ios::binary) << content;
}

std::string TempRoot::read(const std::string& instrumentPath) const
{
    std::ostringstream s;
    s << std::ifstream(host(instrumentPath), std::ios::binary).rdbuf();
    return s.str();
}

bool TempRoot::exists(const std::string& instrumentPath) const
{
    return fs::exists(host(instrumentPath));
}

std::vector<std::string> TempRoot::list(const std::string& instrumentDir) const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(host(instrumentDir), ec))
        if (e.is_regular_file())
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace quibtest
