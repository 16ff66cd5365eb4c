#pragma once
// The subcommands of nvs-tool. Each takes the arguments after its own name and
// returns the process exit status.

#include <span>
#include <string_view>

namespace nvs_tool {

using args_t = std::span<const std::string_view>;

int run_url(args_t args);
int run_keygen(args_t args);
int run_build(args_t args);
int run_dump(args_t args);
int run_verify(args_t args);
int run_lookup(args_t args);
int run_import(args_t args);

} // namespace nvs_tool
