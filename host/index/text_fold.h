// The text forms that names and search terms are compared in: case folded, stripped of marks
// (diacritics), and with punctuation or white space removed.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Bit set of the folds applied to a text.
constexpr unsigned FOLD_CASE = 0x1;   // Unicode case folding
constexpr unsigned FOLD_MARKS = 0x2;  // letters without their combining marks ("café" becomes "cafe")

bool text_is_ascii(std::string_view text);

// Appends text in the form `folds` asks for. Non-ASCII text is also brought to composed form
// (NFC) when any fold is asked for; text that is not valid UTF-8 gets ASCII case folding only.
void text_fold_append(std::string_view text, unsigned folds, std::string* out);

// Appends text without its punctuation and/or white-space characters (Unicode categories P*
// and Zs, plus ASCII symbols and control white space).
void text_strip_append(std::string_view text, bool punctuation, bool whitespace, std::string* out);

// Whether the byte at text[position] is part of a word (letters, digits, any non-ASCII byte).
bool text_is_word_byte(unsigned char byte);

}  // namespace host
