// The live view's page: one self-contained document, its style and script
// inline, which follows the event stream and draws each board.
#pragma once

#include <string>

// The page.
const std::string& view_page();
// Its Content-Security-Policy: its own script and style by their digests,
// connections to its own origin, nothing else.
const std::string& view_page_policy();
