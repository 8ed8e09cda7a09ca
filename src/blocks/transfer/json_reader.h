// The block servers' JSON answers and the JSON bodies we send them.
#pragma once

#include <string>
#include <string_view>

#include "common/hresult.h"
#include "common/recordtree.h"

// Reads a block server's JSON answer into `tree` with deliberately narrow rules,
// so that anything unexpected is refused rather than guessed at:
// - the text starts (after spaces) with '{'; only the space character is white space;
// - a string member sets an attribute (`SetAttr`: a repeated key keeps the last value);
// - an object member adds a child named after the key and is read into it;
// - an array member adds a child named after the key whose elements must all be
//   objects; each becomes an unnamed child of it;
// - numbers, true, false and null are refused; the escapes \" \/ \\ \n \r are
//   the only ones accepted; raw control characters inside strings are refused;
// - nothing but spaces may follow the closing '}'.
// Returns S_OK or E_FAIL. On failure the tree holds whatever was read so far.
HRESULT ReadJson(std::string_view text, RecordTree& tree);

// Escapes '"' and '\' (and control characters) so a value can sit inside a JSON string.
std::string JsonEscape(std::string_view value);
