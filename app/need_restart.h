// Thrown when a configuration can be applied only by a fresh process: the
// daemon exits with status 0 and ConfigD starts it again.
#pragma once

#include <exception>

namespace uc {

class need_restart_t : public std::exception {
public:
    const char* what() const noexcept override { return "Restart needed"; }
};

}  // namespace uc
