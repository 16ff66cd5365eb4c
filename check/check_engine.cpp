#include "check/check_engine.h"

#include <utility>

#include <boost/asio/error.hpp>

#include "check/nvs_engine.h"
#include "common/exception.h"
#include "common/log.h"
#include "ipc/application.h"
#include "ipc/configd_tie.h"

namespace uc {

check_engine_t::check_engine_t(application_t& application)
    : application_(application),
      nvs_engine_(std::make_unique<nvs_engine_t>(application.event_loop())),
      cloudd_(application)
{
    nvs_slot_ = nvs_engine_->signal().connect([this](const nvs_engine_t&) { on_nvs_signal(); });
    config_slot_ = application.config_applied().connect([this] { on_config_applied(); });
}

check_engine_t::~check_engine_t()
{
    config_slot_.disconnect();
    nvs_slot_.disconnect();
    alive_.reset();
}

void check_engine_t::check(url_check_context_t&& context)
{
    if (application_.config().use_cloud())
        check_in_cloud(std::move(context));
    else
        check_in_nvs(std::move(context));
}

bool check_engine_t::has_databases() const
{
    return nvs_engine_ && nvs_engine_->database_count() != 0;
}

void check_engine_t::check_in_nvs(url_check_context_t&& context)
{
    auto url = context.url;
    const nv::nvs::category_set_t mask = context.category_mask;
    auto on_report = [this, alive = std::weak_ptr<int>(alive_), context = std::move(context)](
                         const nv::nvs::report_t& report, const boost::system::error_code& error) mutable {
        boost::system::error_code outcome = error;
        if (!outcome && (!alive.lock() || !has_databases()))
            outcome = nv::make_error_code(nv::EC_NO_NVS_BASES);
        context.complete(report, outcome, url_check_context_t::source_t::nvs);
    };
    // The context travels inside the callback: no allocation for it per check.
    static_assert(nvs_engine_t::callback_t::fits_inline<decltype(on_report)>);
    nvs_engine_->check(std::move(url), mask, std::move(on_report));
}

void check_engine_t::check_in_cloud(url_check_context_t&& context)
{
    // Shared: callbacks are copyable, and the context must survive a request
    // that cannot be sent.
    auto shared = std::make_shared<url_check_context_t>(std::move(context));
    cloudd_.get_connection([this, shared](const std::shared_ptr<cloudd_connection_t>& connection) {
        if (!connection) {
            check_in_nvs(std::move(*shared));
            return;
        }
        auto on_answer = [this, alive = std::weak_ptr<int>(alive_), shared](const nv::nvs::report_t& report,
                                                                           const boost::system::error_code& error) {
            if (!alive.lock()) {
                // Shutting down: no database to fall back on.
                if (error)
                    shared->complete(nv::nvs::report_t{}, boost::asio::error::operation_aborted,
                                     url_check_context_t::source_t::nvs);
                else
                    shared->complete(report, error, url_check_context_t::source_t::cloud);
                return;
            }
            if (error)
                check_in_nvs(std::move(*shared));
            else
                shared->complete(report, error, url_check_context_t::source_t::cloud);
        };
        try {
            connection->check(*shared->url, shared->category_mask, std::move(on_answer));
        } catch (const boost::system::system_error&) {
            // A request too large for CloudD's link: the databases answer it.
            check_in_nvs(std::move(*shared));
        }
    });
}

void check_engine_t::on_nvs_signal()
{
    if (nvs_engine_->state() != nvs_engine_t::loaded)
        return;
    nvs_state_ = has_databases() ? nv::EC_OK : nv::EC_NO_NVS_BASES;
    application_.configd().send_info();
}

void check_engine_t::on_config_applied()
{
    nvs_engine_->reload(application_.config().nvs_dir());
}

}  // namespace uc
