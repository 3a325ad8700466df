// Laying out --help texts and manual pages: shared by swp-host and swp-search, so that both
// programs wrap, indent and escape their texts alike.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// The width no --help line passes.
constexpr size_t HELP_WIDTH = 100;

// Breaks a text at blanks so that no line passes the help width; the first line goes on from
// `column`, later lines start at `indent`.
std::string help_wrapped(const std::string& text, size_t indent, size_t column);

// Each paragraph of a text (paragraphs are parted by an empty line), wrapped and indented by two
// blanks.
std::string help_paragraphs(const std::string& text);

// Text set in roff: a leading dot or quote is kept literal, a minus is a minus, a backslash shows.
std::string roff_escaped(const std::string& text);

// Each paragraph of a text escaped, with .PP between them.
std::string roff_paragraphs(const std::string& text);

// A section title as manual pages set it: ASCII letters in capitals.
std::string roff_title(const std::string& text);

}  // namespace host
