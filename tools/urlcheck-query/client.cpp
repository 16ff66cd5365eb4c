#include "tools/urlcheck-query/client.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "proto/annotation.pb.h"

namespace query {

namespace {

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string category_text(int value)
{
    const auto* entry = nv::UrlCategory_descriptor()->FindValueByNumber(value);
    if (!entry)
        return std::to_string(value);
    if (entry->options().HasExtension(nv::lex))
        return entry->options().GetExtension(nv::lex);
    return entry->name();
}

std::string error_text(int value)
{
    const auto* entry = nv::ErrorCode_descriptor()->FindValueByNumber(value);
    if (!entry)
        return "error " + std::to_string(value);
    if (entry->options().HasExtension(nv::lex))
        return entry->options().GetExtension(nv::lex);
    return entry->name();
}

void append_json_string(std::string& out, const std::string& text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20) {
                static const char digits[] = "0123456789abcdef";
                out += "\\u00";
                out += digits[byte >> 4];
                out += digits[byte & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

std::uint32_t frame_length(const std::string& bytes, std::size_t at)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

nv::UrlCategory parse_category(const std::string& name)
{
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        const int value = std::stoi(name);
        if (nv::UrlCategory_IsValid(value))
            return static_cast<nv::UrlCategory>(value);
    }
    nv::UrlCategory value;
    const std::string wanted = upper(name);
    if (nv::UrlCategory_Parse(wanted, &value) || nv::UrlCategory_Parse("UC_" + wanted, &value))
        return value;
    std::string known;
    for (int i = 0; i < nv::UrlCategory_descriptor()->value_count(); ++i)
        known += (known.empty() ? "" : ", ") + nv::UrlCategory_descriptor()->value(i)->name();
    throw failure_t("unknown category \"" + name + "\" (known: " + known + ", or their numbers)");
}

uc::ClientMessage make_request(std::uint32_t serial, const std::string& url, const request_options_t& options)
{
    uc::ClientMessage message;
    message.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    message.set_serial(serial);
    message.set_raw_url(url);
    for (const nv::UrlCategory category : options.categories)
        message.add_categories(category);
    if (!options.addresses.empty())
        for (const std::string& address : options.addresses)
            message.mutable_addresses()->add_ip()->set_address(address);
    return message;
}

std::string verdict_text(const uc::UrlResult& result)
{
    std::string text;
    if (result.error() != nv::EC_OK) {
        text = "Error: " + error_text(result.error());
    } else if (result.categories_size() == 0) {
        text = "None";
    } else {
        for (const int category : result.categories()) {
            if (!text.empty())
                text += ", ";
            text += category_text(category);
        }
    }
    if (result.has_piracy_legal_url())
        text += "; legal URL: " + result.piracy_legal_url();
    return text;
}

std::string verdict_json(const std::string& url, const uc::UrlResult& result)
{
    std::string out = "{\"url\":";
    append_json_string(out, url);
    out += ",\"error\":" + std::to_string(result.error()) + ",\"categories\":[";
    for (int i = 0; i < result.categories_size(); ++i)
        out += (i ? "," : "") + std::to_string(result.categories(i));
    out += ']';
    if (result.has_piracy_legal_url()) {
        out += ",\"legal_url\":";
        append_json_string(out, result.piracy_legal_url());
    }
    return out + '}';
}

connection_t::connection_t(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw failure_t("cannot connect to the daemon at \"" + path + "\": not a usable socket path");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw failure_t(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        throw failure_t("cannot connect to the daemon at \"" + path + "\": " + std::strerror(error) +
                        (error == ENOENT || error == ECONNREFUSED ? " (is norva-urlcheck running? see --socket)" : ""));
    }
}

connection_t::~connection_t()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void connection_t::set_nonblocking()
{
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void connection_t::append_frame(const uc::ClientMessage& message, std::string& out)
{
    const std::size_t size = message.ByteSizeLong();
    const std::size_t at = out.size();
    out.resize(at + 4 + size);
    auto* p = reinterpret_cast<unsigned char*>(out.data() + at);
    p[0] = static_cast<unsigned char>(size);
    p[1] = static_cast<unsigned char>(size >> 8);
    p[2] = static_cast<unsigned char>(size >> 16);
    p[3] = static_cast<unsigned char>(size >> 24);
    message.SerializeWithCachedSizesToArray(p + 4);
}

void connection_t::write_all(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw failure_t(std::string("the daemon closed the connection: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

bool connection_t::read_some()
{
    if (input_start_ > 0 && input_start_ * 2 > input_.size()) {
        input_.erase(0, input_start_);
        input_start_ = 0;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            input_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return true;
        return false;
    }
}

std::optional<uc::ServerMessage> connection_t::next_answer()
{
    const std::size_t available = input_.size() - input_start_;
    if (available < 4)
        return std::nullopt;
    const std::uint32_t length = frame_length(input_, input_start_);
    if (length == 0 || length > 0x4000000)
        throw failure_t("the daemon sent a frame of invalid length " + std::to_string(length));
    if (available < 4 + length)
        return std::nullopt;
    uc::ServerMessage message;
    if (!message.ParseFromArray(input_.data() + input_start_ + 4, static_cast<int>(length)))
        throw failure_t("the daemon sent an answer that does not parse");
    input_start_ += 4 + length;
    return message;
}

std::optional<uc::ServerMessage> connection_t::read_answer()
{
    for (;;) {
        if (std::optional<uc::ServerMessage> answer = next_answer())
            return answer;
        if (!read_some())
            return std::nullopt;
    }
}

}  // namespace query
