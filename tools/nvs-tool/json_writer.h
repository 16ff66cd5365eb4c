#pragma once
// Writes one JSON value as compact text (no whitespace), for the one-line
// reports of nvs-tool.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvs_tool {

// Appends a JSON string for arbitrary bytes. Well-formed UTF-8 is written as its
// text; anything else is written byte by byte, every byte from 0x80 up as
// \u00XX, so that the result is always valid JSON and names each byte. Control
// characters, '"' and '\' are escaped in both cases.
void append_json_string(std::string& out, std::string_view bytes);

// Builds an object or array with commas placed automatically. Calls must nest
// properly (a key before every value inside an object); the writer does not check.
class json_writer_t {
public:
    json_writer_t& begin_object();
    json_writer_t& end_object();
    json_writer_t& begin_array();
    json_writer_t& end_array();
    json_writer_t& key(std::string_view name);

    json_writer_t& string(std::string_view bytes);
    json_writer_t& number(std::int64_t value);
    json_writer_t& boolean(bool value);
    json_writer_t& null();

    // key(name) then string(bytes), and so on.
    json_writer_t& field(std::string_view name, std::string_view bytes) { return key(name).string(bytes); }
    json_writer_t& field(std::string_view name, std::int64_t value) { return key(name).number(value); }

    const std::string& text() const { return out_; }
    std::string release() { return std::move(out_); }

private:
    // Writes the comma in front of a value or key that follows another one.
    void separate();
    void open(char bracket);
    void close(char bracket);

    std::string out_;
    // One entry per open object or array: whether it holds something yet.
    std::vector<bool> has_items_;
    bool after_key_ = false;
};

} // namespace nvs_tool
