// Finds out from ConfigD where a peer daemon listens, connects on demand and
// shares the one connection among all callers until it closes. Remembers that
// ConfigD said the peer is not installed, and stops asking until a
// configuration is applied or ConfigD lists the peer as installed.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include <boost/signals2/connection.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "common/exception.h"
#include "common/log.h"
#include "ipc/application.h"
#include "ipc/configd_tie.h"
#include "proto/root_appinfo.pb.h"

namespace uc {

// The lex text of a component, e.g. "CloudD".
std::string application_text(nv::Application app);

// Whether ConfigD's own entry in an application-information list says the
// component is installed.
bool lists_installed(const configd_tie_t::appinfo_list_t& list, nv::Application app);

// Connection: a link with a static `application` (the component asked for),
// a static connect(application_t&, path) that throws on failure, and a
// `closed` signal.
template <class Connection>
class connection_holder_t {
public:
    using connection_ptr = std::shared_ptr<Connection>;
    // Called with the connection, or null when there is none.
    using waiter_t = std::function<void(const connection_ptr&)>;

    explicit connection_holder_t(application_t& application)
        : application_(application),
          appinfo_slot_(application.configd().appinfo_signal.connect(
              [this](const configd_tie_t::appinfo_list_t& list) { on_appinfo(list); })),
          config_slot_(application.config_applied().connect([this] { not_installed_ = false; }))
    {
    }

    // Closes the connection, which then goes away with its last operation.
    ~connection_holder_t()
    {
        closed_slot_.disconnect();
        if (connection_)
            connection_->close_quietly();
    }

    connection_holder_t(const connection_holder_t&) = delete;
    connection_holder_t& operator=(const connection_holder_t&) = delete;

    // Calls the callback exactly once with the connection or null: at once
    // when connected, else when ConfigD has answered and a connection was tried.
    void get_connection(waiter_t callback)
    {
        if (connection_) {
            callback(connection_);
            return;
        }
        waiters_.push_back(std::move(callback));
        if (waiters_.size() > 1)
            return;
        if (not_installed_) {
            answer_waiters();
            return;
        }
        application_.configd().get_socket_path(
            Connection::application,
            [this, alive = std::weak_ptr<int>(alive_)](const std::string& path, const boost::system::error_code& error) {
                if (alive.lock())
                    on_socket_path(path, error);
            });
    }

    const connection_ptr& connection() const noexcept { return connection_; }
    bool not_installed() const noexcept { return not_installed_; }

private:
    void on_socket_path(const std::string& path, const boost::system::error_code& error)
    {
        const std::string name = application_text(Connection::application);
        if (error) {
            nv::log_message(nv::log_error, name + ": " + error.message());
            if (error == nv::make_error_code(nv::EC_NOT_INSTALLED))
                not_installed_ = true;
        } else {
            try {
                connection_ptr connection = Connection::connect(application_, path);
                closed_slot_.disconnect();
                if (connection_)
                    connection_->close_quietly();
                connection_ = std::move(connection);
                closed_slot_ = connection_->closed.connect([this] {
                    closed_slot_.disconnect();
                    connection_.reset();
                });
            } catch (const boost::system::system_error& e) {
                nv::log_message(nv::log_error, name + ": " + nv::log_text(e));
            }
        }
        answer_waiters();
    }

    void answer_waiters()
    {
        std::list<waiter_t> waiters = std::move(waiters_);
        waiters_.clear();
        // A copy: a waiter may see the connection close under it.
        const connection_ptr connection = connection_;
        for (const waiter_t& waiter : waiters)
            waiter(connection);
    }

    void on_appinfo(const configd_tie_t::appinfo_list_t& list)
    {
        if (not_installed_ && lists_installed(list, Connection::application))
            not_installed_ = false;
    }

    application_t& application_;
    boost::signals2::scoped_connection appinfo_slot_;
    boost::signals2::scoped_connection config_slot_;
    boost::signals2::scoped_connection closed_slot_;
    connection_ptr connection_;
    std::list<waiter_t> waiters_;
    bool not_installed_ = false;
    // ConfigD's answer may come after the holder has gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace uc
