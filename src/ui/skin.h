// Our skin component. A skin file is a small INI-style text of colours:
//
//   ; comment
//   [window]            sections: window, frame, button, list, edit, status
//   background = #F3F5F8
//   text = #1F2933
//
// Keys per section: background, text, border (frame, button, edit, list), selection and
// selectionText (list), pressed (button). Colours are #RRGGBB. Unknown sections and keys are
// ignored, so older programs read newer files; a bad line or colour rejects the whole file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarvex {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct SkinPart {
    std::optional<Rgb> background, text, border, selection, selectionText, pressed;
    bool operator==(const SkinPart&) const = default;
};

struct Skin {
    SkinPart window, frame, button, list, edit, status;
    bool operator==(const Skin&) const = default;
};

// Parses a skin file's text; nothing when it is malformed.
std::optional<Skin> parseSkin(std::string_view text);

// Reads and attaches the skin for the windows of this process. Returns 0 on success, -1 when the
// file is missing, unreadable, too large or malformed; the windows then keep the platform look.
// The password is accepted for the entry's sake; our skin files are plain text.
int SkinH_AttachEx(const std::string& skinFile, const std::string& password);
// The attached skin, or null when none is.
const Skin* activeSkin();

}  // namespace quarvex
