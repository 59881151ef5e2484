// The live view's page: one self-contained document, its style and script
// inline, which follows the event stream and draws each board.
#pragma once

#include <string>

// The page; with the operator's session's `token`, one that may act.
std::string view_page(const std::string& token = "");
// Its Content-Security-Policy: its own script and style by their digests,
// connections to its own origin, nothing else.
const std::string& view_page_policy();
