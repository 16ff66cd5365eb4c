#include "check/connection_holder.h"

#include "proto/annotation.pb.h"

namespace uc {

std::string application_text(nv::Application app)
{
    const auto* value = nv::Application_descriptor()->FindValueByNumber(app);
    if (!value)
        return std::to_string(static_cast<int>(app));
    if (value->options().HasExtension(nv::lex))
        return value->options().GetExtension(nv::lex);
    return value->name();
}

bool lists_installed(const configd_tie_t::appinfo_list_t& list, nv::Application app)
{
    for (const nv::AppInfo& info : list) {
        if (!info.HasExtension(nv::root_info))
            continue;
        for (const nv::InstalledApp& installed : info.GetExtension(nv::root_info).installed_app())
            if (installed.app() == app)
                return true;
    }
    return false;
}

}  // namespace uc
