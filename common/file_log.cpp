#include <ctime>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <unistd.h>

#include "common/log_sinks.h"

namespace nv {

std::string log_time_stamp()
{
    // Whole seconds: a time with a fractional part would print it.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return boost::posix_time::to_simple_string(boost::posix_time::ptime_from_tm(local));
}

cf_file_log_t::cf_file_log_t(int descriptor, bool owns_descriptor, log_sink_t extra_sink, log_sink_t tagged_sink)
    : cf_log_t(std::move(extra_sink), std::move(tagged_sink)),
      descriptor_(descriptor),
      owns_descriptor_(owns_descriptor),
      pid_(static_cast<int>(::getpid()))
{
}

cf_file_log_t::~cf_file_log_t()
{
    if (owns_descriptor_ && descriptor_ >= 0)
        ::close(descriptor_);
}

void cf_file_log_t::write(int level, std::string_view text)
{
    std::string line = log_time_stamp();
    line += " [";
    line += std::to_string(pid_);
    line += "] ";
    line += level_name(level);
    line += ": ";
    line += text;
    line += '\n';
    std::lock_guard lock(log_mutex());
    write_all(descriptor_, line);
}

void cf_file_log_t::write_tagged(std::string_view tag, int number, std::string_view text)
{
    std::string line = log_time_stamp();
    line += " [";
    line += tag;
    line += '-';
    line += std::to_string(number);
    line += "] ";
    line += text;
    line += '\n';
    std::lock_guard lock(log_mutex());
    write_all(descriptor_, line);
}

void cf_file_log_t::out_of_memory() noexcept { write_all(STDERR_FILENO, "Error: Not enough memory\n"); }

}  // namespace nv
