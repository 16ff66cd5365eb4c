// Identity of the program as it presents itself on the command line.
#pragma once

namespace uc {

inline constexpr const char* program_name = "norva-urlcheck";
inline constexpr const char* program_version = "11.1.3.2205231640";

}  // namespace uc
