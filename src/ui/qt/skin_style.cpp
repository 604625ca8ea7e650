#include "ui/qt/skin_style.h"

#include <QStringList>

namespace quarvex::qt {

namespace {

QString css(const Rgb& c) {
    return QStringLiteral("#%1%2%3")
        .arg(c.r, 2, 16, QLatin1Char('0'))
        .arg(c.g, 2, 16, QLatin1Char('0'))
        .arg(c.b, 2, 16, QLatin1Char('0'));
}

Rgb halfway(const Rgb& a, const Rgb& b) {
    return {static_cast<std::uint8_t>((a.r + b.r) / 2), static_cast<std::uint8_t>((a.g + b.g) / 2),
            static_cast<std::uint8_t>((a.b + b.b) / 2)};
}

// One rule with the declarations whose colours are set; nothing when none is.
class Rule {
  public:
    explicit Rule(QString selector) : selector_(std::move(selector)) {}
    Rule& colour(const char* property, const std::optional<Rgb>& c) {
        if (c) body_ << QStringLiteral("%1: %2;").arg(QLatin1String(property), css(*c));
        return *this;
    }
    Rule& border(const std::optional<Rgb>& c, const char* extra = "") {
        if (c)
            body_ << QStringLiteral("border: 1px solid %1;%2").arg(css(*c), QLatin1String(extra));
        return *this;
    }
    Rule& always(const char* declarations) {
        body_ << QLatin1String(declarations);
        return *this;
    }
    bool empty() const { return body_.isEmpty(); }
    QString text() const { return selector_ + QStringLiteral(" { ") + body_.join(' ') + " }\n"; }

  private:
    QString selector_;
    QStringList body_;
};

}  // namespace

QString skinStyleSheet(const Skin& skin) {
    QString sheet;
    auto add = [&sheet](const Rule& rule) {
        if (!rule.empty()) sheet += rule.text();
    };

    add(Rule("QWidget#Form1")
            .colour("background-color", skin.window.background)
            .colour("color", skin.window.text));
    add(Rule("QLabel").colour("color", skin.window.text));

    const SkinPart& f = skin.frame;
    add(Rule("QGroupBox").colour("background-color", f.background).colour("color", f.text));
    if (f.border) {
        // A drawn border needs room for the caption, which then sits on the line.
        add(Rule("QGroupBox").border(f.border, " border-radius: 3px; margin-top: 6px;"));
        add(Rule("QGroupBox::title")
                .always("subcontrol-origin: margin; subcontrol-position: top left;"
                        " left: 7px; padding: 0 2px;"));
    }

    const SkinPart& b = skin.button;
    Rule button("QPushButton");
    button.colour("background-color", b.background).colour("color", b.text);
    if (b.border) {
        button.border(b.border, " border-radius: 3px; padding: 2px 4px;");
        add(Rule("QPushButton:focus").colour("border-color", b.text).always("border-width: 2px;"));
    }
    add(button);
    add(Rule("QPushButton:pressed").colour("background-color", b.pressed));
    if (b.text && b.background)
        add(Rule("QPushButton:disabled").colour("color", halfway(*b.text, *b.background)));

    const SkinPart& l = skin.list;
    add(Rule("QListView")
            .colour("background-color", l.background)
            .colour("color", l.text)
            .border(l.border)
            .colour("selection-background-color", l.selection)
            .colour("selection-color", l.selectionText));

    const SkinPart& e = skin.edit;
    add(Rule("QLineEdit, QComboBox, QPlainTextEdit")
            .colour("background-color", e.background)
            .colour("color", e.text)
            .border(e.border, " padding: 1px 3px;"));

    const SkinPart& s = skin.status;
    add(Rule("QStatusBar").colour("background-color", s.background).colour("color", s.text));
    add(Rule("QStatusBar QLabel").colour("color", s.text));
    return sheet;
}

}  // namespace quarvex::qt
