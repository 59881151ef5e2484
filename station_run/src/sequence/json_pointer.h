// JSON pointers (RFC 6901), by which a measure reads a number from the JSON
// a step printed: checked when a sequence is read, followed when a step ends.
#pragma once

#include <string>
#include <string_view>

// What a JSON pointer (RFC 6901) finds in a JSON text, read as a stream of
// events: no tree is built, and no pointer or input makes it throw.
struct PointerValue {
    enum Kind { no_json, absent, null, not_number, number } kind = no_json;
    double value = 0;
};
PointerValue json_pointer_value(std::string_view json, const std::string& pointer);
// True for "" and for "/" tokens whose '~' escapes are ~0 and ~1.
bool valid_json_pointer(const std::string& pointer);
