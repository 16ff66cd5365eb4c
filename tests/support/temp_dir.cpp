#include "tests/support/temp_dir.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace nv::test {

temp_dir_t::temp_dir_t()
    : path_(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("norva-test-%%%%-%%%%-%%%%"))
{
    boost::filesystem::create_directories(path_);
}

temp_dir_t::~temp_dir_t()
{
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

}  // namespace nv::test
