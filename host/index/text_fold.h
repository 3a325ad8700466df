// The text forms that names and search terms are compared in (case folded, stripped of marks,
// with punctuation or white space removed), and the character classes that whole word, ignore
// punctuation and ignore white space share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace host {

// Bit set of the folds applied to a text. Any fold brings the text to composed form (NFC).
constexpr unsigned FOLD_CASE = 0x1;     // Unicode case folding
constexpr unsigned FOLD_MARKS = 0x2;    // letters without their combining marks ("café" becomes "cafe")
constexpr unsigned FOLD_COMPOSE = 0x4;  // composed form alone

// Character classes, a bit set decided by the Unicode general category. A character with none
// (other controls, unassigned and private-use code points) ends a word and is never removed.
constexpr unsigned TEXT_WORD = 0x1;         // letters, numbers, connector punctuation ("_", "‿")
constexpr unsigned TEXT_PUNCTUATION = 0x2;  // all punctuation (connectors too) and all symbols
constexpr unsigned TEXT_SPACE = 0x4;        // Unicode white space, and the zero-width space
constexpr unsigned TEXT_ATTACHED = 0x8;     // marks and format characters (joiners, soft hyphen):
                                            // they belong to the character before them

unsigned text_class(int32_t code_point);

bool text_is_ascii(std::string_view text);

// Appends text in the form `folds` asks for. Text that is not valid UTF-8 gets ASCII case folding
// only.
void text_fold_append(std::string_view text, unsigned folds, std::string* out);

// Appends text without its TEXT_PUNCTUATION and/or TEXT_SPACE characters; a character removed
// takes its attached marks and format characters with it (a heart emoji and its presentation
// selector go together).
void text_strip_append(std::string_view text, bool punctuation, bool whitespace, std::string* out);

// Whether a word boundary lies at byte `at` of text: at either end, or between two characters
// that are not both word characters, but never between a character and the marks attached to
// it. A byte that is not part of valid UTF-8 counts as a word character (most likely a letter of
// a legacy encoding).
bool text_is_word_boundary(std::string_view text, size_t at);

}  // namespace host
