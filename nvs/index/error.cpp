#include "nvs/index/error.h"

#include <boost/system/system_error.hpp>

#include <cerrno>

namespace nv::nvs {

namespace {

class category_t final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "nv.nvs.error"; }

    std::string message(int value) const override
    {
        switch (value) {
        case int(error_t::success):
            return "Success";
        case int(error_t::bad_file_format):
            return "Bad file format";
        case int(error_t::bad_file_signature):
            return "Bad file signature";
        default:
            return "Unknown";
        }
    }
};

} // namespace

const boost::system::error_category& error_category() noexcept
{
    static const category_t instance;
    return instance;
}

boost::system::error_code make_error_code(error_t e) noexcept
{
    return {int(e), error_category()};
}

void throw_error(error_t e)
{
    throw boost::system::system_error(make_error_code(e));
}

void throw_system_error(const char* call)
{
    throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()), call);
}

} // namespace nv::nvs
