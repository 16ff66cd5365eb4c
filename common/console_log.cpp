#include <string>

#include <unistd.h>

#include "common/log_sinks.h"

namespace nv {

cf_console_log_t::cf_console_log_t(log_sink_t extra_sink, log_sink_t tagged_sink)
    : cf_log_t(std::move(extra_sink), std::move(tagged_sink))
{
}

void cf_console_log_t::write(int level, std::string_view text)
{
    std::string line = level_name(level);
    line += ": ";
    line += text;
    line += '\n';
    std::lock_guard lock(log_mutex());
    write_all(STDERR_FILENO, line);
}

void cf_console_log_t::write_tagged(std::string_view tag, int number, std::string_view text)
{
    std::string line(tag);
    line += '-';
    line += std::to_string(number);
    line += ": ";
    line += text;
    line += '\n';
    std::lock_guard lock(log_mutex());
    write_all(STDERR_FILENO, line);
}

void cf_console_log_t::out_of_memory() noexcept { write_all(STDERR_FILENO, "Error: Not enough memory\n"); }

}  // namespace nv
