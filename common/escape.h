// Text from the outside (a step's output, a serial, a path) made safe for
// where it goes: valid UTF-8 for JSON and the history, markup that XML 1.0
// and HTML accept, and lines that cannot steer a terminal.
#pragma once

#include <string>
#include <string_view>

// Every byte sequence that is no UTF-8 character (a stray byte, a sequence cut
// short, an overlong form, a surrogate, a code point above U+10FFFF) becomes
// U+FFFD.
std::string utf8_repaired(std::string_view text);

// For XML 1.0 and HTML text and attributes: & < > " ' escaped, and every
// character neither allows (controls but tab, line feed and carriage return,
// U+FFFE, U+FFFF and the other noncharacters, invalid UTF-8) as U+FFFD.
std::string markup_escaped(std::string_view text);

// For a terminal: control characters (C0, DEL, C1) written as \n, \t, \r,
// \xNN or \u{NN} (C1), invalid UTF-8 as U+FFFD.
std::string terminal_safe(std::string_view text);
