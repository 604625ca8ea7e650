#include "ui/skin.h"

#include <filesystem>
#include <fstream>

namespace quarvex {

namespace {

constexpr std::size_t kMaxSkinFileBytes = 64 * 1024;

std::string_view trimBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::optional<Rgb> parseColour(std::string_view value) {
    if (value.size() != 7 || value[0] != '#') return std::nullopt;
    std::uint8_t channels[3];
    for (int i = 0; i < 3; ++i) {
        int byte = 0;
        for (char c : value.substr(1 + 2 * i, 2)) {
            int nibble;
            if (c >= '0' && c <= '9')
                nibble = c - '0';
            else if (c >= 'a' && c <= 'f')
                nibble = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                nibble = c - 'A' + 10;
            else
                return std::nullopt;
            byte = byte * 16 + nibble;
        }
        channels[i] = static_cast<std::uint8_t>(byte);
    }
    return Rgb{channels[0], channels[1], channels[2]};
}

SkinPart* sectionOf(Skin& skin, std::string_view name) {
    if (name == "window") return &skin.window;
    if (name == "frame") return &skin.frame;
    if (name == "button") return &skin.button;
    if (name == "list") return &skin.list;
    if (name == "edit") return &skin.edit;
    if (name == "status") return &skin.status;
    return nullptr;
}

std::optional<Rgb>* keyOf(SkinPart& part, std::string_view key) {
    if (key == "background") return &part.background;
    if (key == "text") return &part.text;
    if (key == "border") return &part.border;
    if (key == "selection") return &part.selection;
    if (key == "selectionText") return &part.selectionText;
    if (key == "pressed") return &part.pressed;
    return nullptr;
}

std::optional<Skin>& attached() {
    static std::optional<Skin> skin;
    return skin;
}

}  // namespace

std::optional<Skin> parseSkin(std::string_view text) {
    if (text.size() > kMaxSkinFileBytes) return std::nullopt;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Skin skin;
    SkinPart* section = nullptr;
    bool inUnknownSection = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trimBlanks(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) return std::nullopt;
            section = sectionOf(skin, trimBlanks(line.substr(1, line.size() - 2)));
            inUnknownSection = section == nullptr;
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) return std::nullopt;
        const std::string_view key = trimBlanks(line.substr(0, eq));
        const auto colour = parseColour(trimBlanks(line.substr(eq + 1)));
        if (!colour) return std::nullopt;
        if (inUnknownSection) continue;
        if (section == nullptr) return std::nullopt;  // a key before any section
        if (auto* slot = keyOf(*section, key)) *slot = colour;
    }
    return skin;
}

int SkinH_AttachEx(const std::string& skinFile, const std::string& /*password*/) {
    attached().reset();
    // The name is UTF-8; a path built from char8_t opens it right on Windows as well.
    const std::u8string name(skinFile.begin(), skinFile.end());
    const std::filesystem::path path(name);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return -1;
    std::ifstream in(path, std::ios::binary);
    if (!in) return -1;
    std::string text;
    text.resize(kMaxSkinFileBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return -1;
    text.resize(static_cast<std::size_t>(in.gcount()));
    auto skin = parseSkin(text);
    if (!skin) return -1;
    attached() = *skin;
    return 0;
}

const Skin* activeSkin() {
    return attached() ? &*attached() : nullptr;
}

}  // namespace quarvex
