// A strict check that a text is one JSON document (RFC 8259), so that
// state.cgi never passes a cut-off or garbled report on to the page.
#pragma once

#include <string_view>

namespace state {

// True when text is exactly one JSON value, with optional whitespace around it.
bool isJsonDocument(std::string_view text);

// True when text is one JSON object (what `instrument show --json` prints).
bool isJsonObject(std::string_view text);

}  // namespace state
