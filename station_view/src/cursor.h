// Where a browser left off: how many lines of each record it follows it has
// had, by the record's key, carried as an event's id. It names only the runs
// followed now, so it stays short however long a page stays open.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// By record key, the lines sent.
using Cursor = std::map<std::string, std::uint64_t>;

// A record's key: 16 hexadecimal digits of its folder and its first line,
// so that a folder used again by another run is another record, and any
// folder's name travels in an id.
std::string record_key(const std::string& folder, const std::string& first_line);

// "KEY:N;KEY:N", the records with no line sent left out.
std::string cursor_text(const Cursor& cursor);
// An id read back; parts that do not read are left out, and an id longer
// than any this viewer sends (a page left open from an older one) reads as
// none, so that its stream starts over.
Cursor cursor_from(const std::string& text);
