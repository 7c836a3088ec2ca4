// JSON values and their two text renderings.
//
// Every JSON value in Talmo is an nlohmann::ordered_json so that map keys keep
// the order in which they were stored, decoded or built.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace talmo {

using json = nlohmann::ordered_json;

// The deepest nesting of lists and maps accepted in JSON text from outside
// the process. Rendering, copying and comparing a value each recurse once
// per level, so a deeper document (a few hundred kilobytes of "[") would
// overflow the stack; no real request, model reply or job field comes near.
inline constexpr std::size_t MAX_JSON_DEPTH = 512;

// json::parse for text from outside the process (request bodies, model
// replies, JSON text inside their fields): the same value, and for malformed
// text the same json::parse_error, or the discarded value when
// `allow_exceptions` is false. Text that nests lists and maps deeper than
// MAX_JSON_DEPTH counts as malformed.
json decode_json(std::string_view text, bool allow_exceptions = true);

// Compact JSON text: ", " between items, ": " between key and value, one
// line, keys in stored order, every character outside 0x20-0x7E escaped
// (\uXXXX, lowercase hex, surrogate pairs beyond U+FFFF; the usual short
// escapes \" \\ \n \r \t \b \f), reals in shortest round-trip form with
// ".0" for whole values and exponent form below 1e-4 or from 1e16 on
// ("1e+16", "1e-05"); non-finite reals as Infinity, -Infinity and NaN.
// Never throws for a value nlohmann can hold; invalid UTF-8 inside a text
// is written byte for byte as \u00XX.
std::string json_text(const json& value);

// Plain display rendering used when a value is spliced into a message or log
// line: top-level text as it is; integers in decimal; reals as in json_text;
// true/false as "True"/"False"; null as "None"; lists "[a, b]" and maps
// "{k: v}" whose text items are quoted ('x', or "x" when the text holds a
// single quote and no double quote) with backslash escapes for \\ \n \r \t,
// the quote character in use, and non-printable characters (\xhh, \uhhhh,
// \Uhhhhhhhh; non-printable = categories Cc Cf Cs Co Cn Zl Zp Zs except the
// ASCII space, as ICU's Unicode data classifies them). Bytes that are not
// UTF-8 inside a quoted text are shown one by one as \xhh, so the result is
// always valid UTF-8 there; top-level text passes through unchanged.
std::string display_text(const json& value);

// "<class 'list'>", "<class 'str'>", "<class 'int'>", "<class 'float'>",
// "<class 'bool'>", "<class 'NoneType'>" and "<class 'dict'>" for maps.
std::string type_description(const json& value);

// Truthiness of a value as the engine tests "empty": null, false, 0, 0.0, "",
// [] and {} are empty; everything else is not.
bool is_empty_value(const json& value);

}  // namespace talmo
