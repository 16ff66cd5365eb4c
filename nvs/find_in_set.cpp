#include "nvs/find_in_set.h"

#include "nvs/file.h"

namespace nv::nvs {

index::match_t find_in_set(index::context_t& context, const file_set_t& set, std::string& legal_url,
                           std::shared_ptr<const file_t>* matched)
{
    for (const auto& file : set) {
        const index::match_t match = file->find(context);
        if (!match.found)
            continue;
        // Only a piracy category database carries notices; a piracy whitelist
        // suppresses the category and so must not hand out a legal URL.
        if (!file->whitelist() && file->category() == category_piracy)
            legal_url = file->legal_url(match.record_offset);
        else
            legal_url.clear();
        if (matched)
            *matched = file;
        return match;
    }
    return {};
}

report_t check_categories(index::context_t& context, const category_map_t& map, category_set_t mask,
                          std::vector<decision_t>* decisions)
{
    report_t report;
    for (const auto& [category, files] : map) {
        if ((category & mask) == 0)
            continue;
        // A fresh string per category: a later match, whitelist or not, clears
        // the string it is given, and must not erase the piracy legal URL.
        std::string legal_url;
        std::shared_ptr<const file_t> file;
        bool whitelist = true;
        index::match_t match = find_in_set(context, files.whitelists, legal_url, &file);
        if (!match.found) {
            whitelist = false;
            match = find_in_set(context, files.databases, legal_url, &file);
            if (!match.found)
                continue;
            report.categories |= category;
            if (!legal_url.empty())
                report.legal_url = std::move(legal_url);
        }
        if (decisions)
            decisions->push_back({category, std::move(file), match.record_offset, whitelist});
    }
    return report;
}

report_t check_categories(index::context_t& context, const walk_plan_t& plan, category_set_t mask,
                          std::vector<decision_t>* decisions)
{
    report_t report;
    if ((plan.bits() & mask) == 0)
        return report;
    const auto& files = plan.files();
    const auto& keys = plan.file_keys();

    // The pairs worth a search: held by a database of the mask, applying to
    // the URL, and, with a filter, let through by it. Without a filter the
    // keys are hashed as the walk reaches them, since it may stop early.
    std::uint64_t wanted = 0;
    for (const auto& category : plan.categories())
        if ((category.bit & mask) != 0)
            wanted |= category.pairs;
    wanted &= plan.applicable_pairs(context.label_count(), context.url().path().size());
    const std::uint64_t passed = context.filter() ? context.plan_host_keys(plan.pairs(), wanted) & wanted : wanted;
    const std::uint32_t other = walk_plan_t::other_searches_of(context.url().addresses());
    const auto may_match = [passed, other](const auto& k) { return (k.pairs & passed) != 0 || (k.other & other) != 0; };
    const auto matches = [&](std::uint32_t i, index::match_t& match) {
        return may_match(keys[i]) && (match = find_in_file(*files[i], context, plan, keys[i])).found;
    };

    for (const auto& category : plan.categories()) {
        if ((category.bit & mask) == 0 || !may_match(category))
            continue;
        // Whitelists first: a match suppresses this category only.
        std::uint32_t i = category.first;
        index::match_t match;
        for (; i < category.whitelists_end; ++i)
            if (matches(i, match))
                break;
        const bool whitelist = i < category.whitelists_end;
        if (!whitelist) {
            for (; i < category.end; ++i)
                if (matches(i, match))
                    break;
            if (i == category.end)
                continue;
            report.categories |= category.bit;
            // Only a piracy category database carries notices; the legal URL
            // of a category examined earlier stays unless this one has one.
            const file_t& file = *files[i];
            if (file.category() == category_piracy) {
                std::string legal_url = file.legal_url(match.record_offset);
                if (!legal_url.empty())
                    report.legal_url = std::move(legal_url);
            }
        }
        if (decisions)
            decisions->push_back({category.bit, files[i], match.record_offset, whitelist});
    }
    return report;
}

} // namespace nv::nvs
