// How a metadata value is compared with a bound parameter, shared by the
// filter fetch and the context deletion.
//
// A bare `json_extract(metadata, path) = ?` makes the engine cast the bound
// text to JSON: plain text then fails as malformed JSON or never matches.
// Turning the bound value into JSON with the engine's own `to_json` puts
// both sides in the same canonical JSON text: text matches an equal JSON
// string (escaped non-ASCII included), a number an equal JSON number, a
// boolean a JSON boolean, and the text "5" never matches the number 5.
// `to_json` of NULL is NULL, so None is turned into JSON null explicitly: it
// matches a stored null, and never a missing key (whose extract is NULL).
#pragma once

namespace kg {

inline constexpr const char* kMetadataPathEqualsValue = "json_extract(metadata, ?) = coalesce(to_json(?), 'null'::JSON)";

}  // namespace kg
