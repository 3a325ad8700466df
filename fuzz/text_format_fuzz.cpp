// The host's printf dialect, one directive at a time: flags, width, precision (written or taken
// from arguments), size prefix and conversion all come from the input, between literal texts, and
// the argument passed is the one that conversion reads. Where C defines the same directive, the
// result must equal the C library's; every other directive must at least not misbehave.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/services.h"

namespace {

constexpr int MAX_WIDTH = 300;  // formats are literals of the code: widths stay small

struct SizePrefix {
    const char* dialect;
    const char* c;  // the same size in C, or null when C has none
};

constexpr SizePrefix SIZE_PREFIXES[] = {
    {"", ""}, {"hh", "hh"}, {"h", "h"}, {"l", "l"}, {"ll", "ll"}, {"z", "z"},
    {"j", "j"}, {"I64", "ll"}, {"I32", ""}, {"I", "z"}, {"L", nullptr},
};

constexpr char CONVERSIONS[] = "diuxXocstp%nfeEgGaAFqy";

enum class Argument { NONE, SIGNED, UNSIGNED, CHARACTER, TEXT, COUNTED_TEXT, POINTER, FLOATING };

Argument argument_of(char conversion) {
    switch (conversion) {
    case 'd': case 'i': return Argument::SIGNED;
    case 'u': case 'x': case 'X': case 'o': return Argument::UNSIGNED;
    case 'c': return Argument::CHARACTER;
    case 's': return Argument::TEXT;
    case 't': return Argument::COUNTED_TEXT;
    case 'p': case 'n': return Argument::POINTER;
    case 'f': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': case 'F': return Argument::FLOATING;
    default: return Argument::NONE;
    }
}

struct Directive {
    std::string flags;
    bool width_star = false;
    int width = -1;  // -1: none written
    bool precision_dot = false;
    bool precision_star = false;
    int precision = -1;  // after the dot: -1 writes none
    const SizePrefix* size = &SIZE_PREFIXES[0];
    char conversion = 'd';
    int star_width = 0;
    int star_precision = 0;

    std::string text(const char* size_text) const {
        std::string out = "%" + flags;
        if (width_star) out += "*";
        else if (width >= 0) out += std::to_string(width);
        if (precision_dot) {
            out += ".";
            if (precision_star) out += "*";
            else if (precision >= 0) out += std::to_string(precision);
        }
        return out + size_text + conversion;
    }
};

std::string dialect_format(const char* format, ...) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    va_list arguments;
    va_start(arguments, format);
    host::utf8_buf_vprintf(&buffer, format, arguments);
    va_end(arguments);
    std::string text(buffer.text, buffer.length);
    host::utf8_buf_kill(&buffer);
    return text;
}

std::string c_format(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

// Calls `format` with the star arguments the directive asks for, then `values`.
template <typename Formatter, typename... Values>
std::string with_stars(Formatter format, const std::string& text, const Directive& d, Values... values) {
    if (d.width_star && d.precision_star) return format(text.c_str(), d.star_width, d.star_precision, values...);
    if (d.width_star) return format(text.c_str(), d.star_width, values...);
    if (d.precision_star) return format(text.c_str(), d.star_precision, values...);
    return format(text.c_str(), values...);
}

// Calls `format` with the number in the type that the directive's size prefix reads.
template <typename Formatter>
std::string with_integer(Formatter format, const std::string& text, const Directive& d, int64_t number) {
    std::string_view size = d.size->dialect;
    if (size == "l") return with_stars(format, text, d, static_cast<long>(number));
    if (size == "ll" || size == "I64") return with_stars(format, text, d, static_cast<long long>(number));
    if (size == "z" || size == "I") return with_stars(format, text, d, static_cast<size_t>(number));
    if (size == "j") return with_stars(format, text, d, static_cast<intmax_t>(number));
    return with_stars(format, text, d, static_cast<int>(number));
}

// Whether C defines this directive and means by it what the dialect means.
bool c_defines(const Directive& d) {
    if (!d.size->c) return false;
    Argument argument = argument_of(d.conversion);
    bool integer = argument == Argument::SIGNED || argument == Argument::UNSIGNED;
    if (d.conversion == '%') return d.flags.empty() && !d.width_star && d.width < 0 && !d.precision_dot;
    if (!integer && argument != Argument::CHARACTER && argument != Argument::TEXT) return false;
    if (!integer && (d.size->c[0] != '\0' || d.flags.find_first_of("#0") != std::string::npos)) return false;
    if (argument == Argument::CHARACTER && d.precision_dot) return false;
    if (d.flags.find('#') != std::string::npos && !(d.conversion == 'x' || d.conversion == 'X' || d.conversion == 'o')) {
        return false;
    }
    return true;
}

Directive directive_read(FuzzedDataProvider* input) {
    Directive d;
    uint8_t flag_bits = input->ConsumeIntegral<uint8_t>();
    const char FLAGS[] = "-+ #0";
    for (int bit = 0; bit < 5; bit++) {
        if (flag_bits & (1 << bit)) d.flags += FLAGS[bit];
    }
    uint8_t shape = input->ConsumeIntegral<uint8_t>();
    d.width_star = shape & 0x1;
    if (!d.width_star && (shape & 0x2)) d.width = input->ConsumeIntegralInRange(0, MAX_WIDTH);
    d.precision_dot = shape & 0x4;
    d.precision_star = d.precision_dot && (shape & 0x8);
    if (d.precision_dot && !d.precision_star && (shape & 0x10)) d.precision = input->ConsumeIntegralInRange(0, MAX_WIDTH);
    d.star_width = input->ConsumeIntegralInRange(-MAX_WIDTH, MAX_WIDTH);
    d.star_precision = input->ConsumeIntegralInRange(-MAX_WIDTH, MAX_WIDTH);
    d.size = &SIZE_PREFIXES[input->ConsumeIntegralInRange<size_t>(0, std::size(SIZE_PREFIXES) - 1)];
    d.conversion = CONVERSIONS[input->ConsumeIntegralInRange<size_t>(0, std::strlen(CONVERSIONS) - 1)];
    return d;
}

// Literal text with every '%' doubled, so that it holds no directive of its own.
std::string literal_read(FuzzedDataProvider* input) {
    std::string raw = input->ConsumeRandomLengthString(32);
    std::string out;
    for (char byte : raw) {
        if (byte == '\0') break;
        out += byte;
        if (byte == '%') out += '%';
    }
    return out;
}

[[noreturn]] void report_mismatch(const std::string& format, const std::string& dialect, const std::string& c) {
    std::fprintf(stderr, "format \"%s\": dialect gave %zu bytes \"%s\", C gave %zu bytes \"%s\"\n", format.c_str(),
                 dialect.size(), dialect.c_str(), c.size(), c.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Directive d = directive_read(&input);
    std::string before = literal_read(&input);
    std::string after = literal_read(&input);
    int64_t number = input.ConsumeIntegral<int64_t>();
    double floating = input.ConsumeFloatingPoint<double>();
    // Text for %s and %t in a buffer of exactly its size, without a terminator: a read past a
    // precision or a count is caught.
    std::string text_source = input.ConsumeRemainingBytesAsString();
    std::vector<char> text(text_source.begin(), text_source.end());
    bool terminated = !text.empty() && text.back() == '\0';
    bool null_text = text.empty();

    std::string format = before + d.text(d.size->dialect) + after;
    std::string c_text = before + d.text(d.size->c ? d.size->c : "") + after;
    std::string dialect;
    std::string expected;
    bool compare = c_defines(d);
    switch (argument_of(d.conversion)) {
    case Argument::SIGNED:
    case Argument::UNSIGNED:
        dialect = with_integer(dialect_format, format, d, number);
        if (compare) expected = with_integer(c_format, c_text, d, number);
        break;
    case Argument::CHARACTER:
        dialect = with_stars(dialect_format, format, d, static_cast<int>(number));
        if (compare) expected = with_stars(c_format, c_text, d, static_cast<int>(number));
        break;
    case Argument::TEXT: {
        // Unterminated text is only ever read through a precision no longer than it.
        bool safe = terminated || (d.precision_dot && !d.precision_star && d.precision >= 0 &&
                                   static_cast<size_t>(d.precision) <= text.size());
        const char* pointer = null_text ? nullptr : safe ? text.data() : "";
        dialect = with_stars(dialect_format, format, d, pointer);
        if (!pointer) {
            compare = false;
            break;
        }
        // The checked C printf reads a byte past a precision, so it gets a terminated copy.
        std::string copy = pointer == text.data() ? std::string(text.begin(), text.end()) : std::string(pointer);
        if (compare) expected = with_stars(c_format, c_text, d, copy.c_str());
        break;
    }
    case Argument::COUNTED_TEXT:
        dialect = with_stars(dialect_format, format, d, null_text ? nullptr : text.data(), text.size());
        break;
    case Argument::POINTER:
        dialect = with_stars(dialect_format, format, d, static_cast<void*>(&number));
        break;
    case Argument::FLOATING:
        if (d.size->dialect[0] == 'L') {
            dialect = with_stars(dialect_format, format, d, static_cast<long double>(floating));
        } else {
            dialect = with_stars(dialect_format, format, d, floating);
        }
        break;
    case Argument::NONE:
        dialect = with_stars(dialect_format, format, d);
        if (compare) expected = with_stars(c_format, c_text, d);
        break;
    }
    if (compare && dialect != expected) report_mismatch(format, dialect, expected);
    return 0;
}
