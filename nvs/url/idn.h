#pragma once
// Host names between their Punycode ("xn--") and UTF-8 spellings, label by label.
//
// Both functions split the host at every '.', convert each label, and join the
// results with '.', writing a dot only when something came before it: empty
// labels at the front vanish, empty labels further on keep their dots. A label
// that cannot be converted becomes empty. Neither changes letter case.

#include <string>
#include <string_view>

namespace nv::nvs {

// Labels that begin with exactly "xn--" (case-sensitive) are Punycode-decoded to
// UTF-8; a label longer than 260 bytes, or one that fails to decode or decodes to
// more than 63 code points, becomes empty. Code points that UTF-8 cannot carry
// (surrogates, above U+10FFFF) are left out. Other labels are copied.
std::string idn_to_unicode(std::string_view host);

// Labels of ASCII letters, digits and '-' only are copied. Any other label longer
// than 63 bytes becomes empty; otherwise its well-formed UTF-8 (malformed bytes
// dropped) is Punycode-encoded into at most 256 bytes behind "xn--", so "a_b"
// becomes "xn--a_b-".
std::string idn_to_ascii(std::string_view host);
// idn_to_ascii(host) appended to out.
void append_idn_to_ascii(std::string& out, std::string_view host);

} // namespace nv::nvs
