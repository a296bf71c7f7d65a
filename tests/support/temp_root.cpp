#include "tests/support/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <algorithm>

namespace fs = std::filesystem;

namespace quibtest {

TempRoot::TempRoot()
{
    std::string tmpl = (fs::temp_directory_path() / "quibroot-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    fs::create_directories(path_ + "/tmp");
    if (const char* prev = std::getenv("INSTRUMENT_ROOT")) {
        previous_ = prev;
        hadPrevious_ = true;
    }
    setenv("INSTRUMENT_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot()
{
    if (hadPrevious_)
        setenv("INSTRUMENT_ROOT", previous_.c_str(), 1);
    else
        unsetenv("INSTRUMENT_ROOT");
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempRoot::host(const std::string& instrumentPath) const
{
    return instrumentPath.starts_with('/') ? path_ + instrumentPath : path_ + "/" + instrumentPath;
}

void TempRoot::write(const std::string& instrumentPath, const std::string& content) const
{
    fs::path p = host(instrumentPath);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempRoot::read(const std::string& instrumentPath) const
{
    std::ifstream in(host(instrumentPath), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
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
