#pragma once
// Escaping text for HTML with decimal numeric character references ("&#38;"), and
// turning character references (numeric and named) back into text. Pure functions
// over UTF-8 text; any thread.
//
// Input that is not valid UTF-8 never fails: Unicode escaping copies such bytes as
// they are, ASCII escaping reads each bad sequence as U+FFFD, and unescaping copies
// it unchanged.
#include <string>
#include <string_view>

namespace kiv::HTMLEscaping {

// Replaces every character of the escape set  ! " $ % & ' + , < = > @ [ ] ` { }  by
// its numeric reference, wherever it appears (also when a combining mark follows
// it); every other character is copied.
std::string stringByAddingUnicodeEntities(std::string_view text);

// Pure-ASCII result: a user-perceived character that is one ASCII scalar is escaped
// when it is in the escape set and copied otherwise (so is CR LF); any other
// character becomes the references of all its scalars ("e" + U+0301 -> "&#101;&#769;").
std::string stringByAddingASCIIEntities(std::string_view text);

// Replaces "&#NNN;", "&#xHHH;" and "&name;" (names of the HTML5 table, case
// sensitive) by their characters, in one pass. A reference that does not resolve
// (unknown name, surrogate, value past U+10FFFF, missing ";") is left as it is.
std::string stringByRemovingHTMLEntities(std::string_view text);

}  // namespace kiv::HTMLEscaping
