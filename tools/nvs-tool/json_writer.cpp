#include "tools/nvs-tool/json_writer.h"

#include "nvs/url/utf8.h"

#include <charconv>

namespace nvs_tool {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void append_u00(std::string& out, unsigned char byte)
{
    out += "\\u00";
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 0x0f];
}

void append_character(std::string& out, char c, bool bytewise)
{
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
    }
    if (byte < 0x20 || (bytewise && byte >= 0x80))
        append_u00(out, byte);
    else
        out += c;
}

} // namespace

void append_json_string(std::string& out, std::string_view bytes)
{
    const bool bytewise = !nv::nvs::is_valid_utf8(bytes);
    out += '"';
    for (char c : bytes)
        append_character(out, c, bytewise);
    out += '"';
}

void json_writer_t::separate()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!has_items_.empty()) {
        if (has_items_.back())
            out_ += ',';
        has_items_.back() = true;
    }
}

void json_writer_t::open(char bracket)
{
    separate();
    out_ += bracket;
    has_items_.push_back(false);
}

void json_writer_t::close(char bracket)
{
    out_ += bracket;
    has_items_.pop_back();
}

json_writer_t& json_writer_t::begin_object()
{
    open('{');
    return *this;
}

json_writer_t& json_writer_t::end_object()
{
    close('}');
    return *this;
}

json_writer_t& json_writer_t::begin_array()
{
    open('[');
    return *this;
}

json_writer_t& json_writer_t::end_array()
{
    close(']');
    return *this;
}

json_writer_t& json_writer_t::key(std::string_view name)
{
    separate();
    append_json_string(out_, name);
    out_ += ':';
    after_key_ = true;
    return *this;
}

json_writer_t& json_writer_t::string(std::string_view bytes)
{
    separate();
    append_json_string(out_, bytes);
    return *this;
}

json_writer_t& json_writer_t::number(std::int64_t value)
{
    separate();
    char digits[24];
    out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    return *this;
}

json_writer_t& json_writer_t::boolean(bool value)
{
    separate();
    out_ += value ? "true" : "false";
    return *this;
}

json_writer_t& json_writer_t::null()
{
    separate();
    out_ += "null";
    return *this;
}

} // namespace nvs_tool
